#include "shared/proc_stat.h"

#include <gtest/gtest.h>

namespace audio_host {
namespace {

std::string stat_line(const std::string& name, const std::string& parent,
                      const std::string& start) {
  // Fields 1 to 22 (and a few after), with the given name, parent and start.
  return "4242 (" + name + ") S " + parent + " 4242 4242 0 -1 4194304 110 0 0 0 1 2 0 0 20 0 1 0 " +
         start + " 1000 200 18446744073709551615\n";
}

TEST(ParseProcStat, ReadsTheFieldsAfterTheLastParenthesis) {
  struct Case {
    std::string name;
    std::uint32_t parent;
    std::uint64_t ticks;
  };
  const Case cases[] = {
      {"player", 1, 9876},
      {"two words", 17, 1},
      {"a) S 99 (tricky", 4000000000u, 18446744073709551615ull},
      {"", 5, 0},
  };
  for (const Case& c : cases) {
    const auto stat =
        parse_proc_stat(stat_line(c.name, std::to_string(c.parent), std::to_string(c.ticks)));
    ASSERT_TRUE(stat) << c.name;
    EXPECT_EQ(stat->parent_pid, c.parent) << c.name;
    EXPECT_EQ(stat->start_ticks, c.ticks) << c.name;
  }
}

TEST(ParseProcStat, RefusesOtherShapes) {
  const std::string lines[] = {
      "",
      "4242 player S 1",
      "4242 (player) S",                   // too few fields
      stat_line("p", "-1", "5"),           // parent not a number
      stat_line("p", "1", "12x"),          // start not a number
      stat_line("p", "99999999999", "5"),  // parent too large
  };
  for (const std::string& line : lines) {
    EXPECT_FALSE(parse_proc_stat(line)) << line;
  }
}

TEST(StartTimeFromTicks, HundredNanosecondUnitsWithoutOverflow) {
  EXPECT_EQ(start_time_from_ticks(0, 100), 0u);
  EXPECT_EQ(start_time_from_ticks(1, 100), 100000u);
  EXPECT_EQ(start_time_from_ticks(123456789, 100), 12345678900000ull);
  EXPECT_EQ(start_time_from_ticks(1, 3), 3333333u);  // truncated
  // Ticks near the top of the range still give the exact quotient.
  const std::uint64_t ticks = 18446744073709ull;
  EXPECT_EQ(start_time_from_ticks(ticks * 100, 100), ticks * 10'000'000ull);
}

}  // namespace
}  // namespace audio_host
