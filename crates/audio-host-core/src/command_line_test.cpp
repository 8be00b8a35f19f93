#include "command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace audio_host {
namespace {

using Args = std::vector<std::string>;

std::string parse_error(const Args& args) {
  auto result = parse_command_line(args);
  return result ? std::string("<accepted>") : result.error();
}

struct Refusal {
  Args args;
  const char* message;
};

TEST(ParseCommandLine, RefusesWithTheFirstFailingCheck) {
  const std::vector<Refusal> cases = {
      {{}, "one excluded parent PID is required"},
      {{"--help"}, "arguments must be flag/value pairs"},
      {{"--target"}, "arguments must be flag/value pairs"},
      {{"--list", "--list"}, "unknown or duplicate argument"},
      {{"--list", "--target", "system"}, "arguments must be flag/value pairs"},
      {{"--list", "x", "--exclude-pids", "42", "--target", "system"},
       "unknown or duplicate argument"},
      {{"--target", "system", "--exclude-pids", "42", "--expected-start", "5"},
       "process identity is not valid for system capture"},
      {{"--target", "system", "--exclude-pids", "42", "--expected-exe", ""},
       "process identity is not valid for system capture"},
      {{"--target", "system", "--exclude-pids", "42", "--exclude-pids", "43"},
       "unknown or duplicate argument"},
      {{"--target", "bogus", "--colour", "red", "--exclude-pids", "42"},
       "unknown or duplicate argument"},
      {{"--Target", "system", "--exclude-pids", "42"}, "unknown or duplicate argument"},
      {{"--target", "system"}, "one excluded parent PID is required"},
      {{"--exclude-pids", "42"}, "target is required"},
      {{"--target", "pid:7", "--exclude-pids", "42"}, "expected executable is required"},
      {{"--target", "pid:7", "--exclude-pids", "42", "--expected-exe", ""},
       "expected executable is required"},
      {{"--target", "pid:7", "--exclude-pids", "42", "--expected-exe", "C:\\A\\b.exe"},
       "expected process creation time is required"},
      // A bad excluded PID is reported before a missing target.
      {{"--exclude-pids", "0"}, "exactly one positive excluded PID is required"},
      // A bad target is reported before the missing identity.
      {{"--target", "pid:0", "--exclude-pids", "42"}, "target must be system or pid:N"},
      // The value of a flag is taken verbatim, even when it looks like a flag.
      {{"--expected-exe", "--target", "--exclude-pids", "42"}, "target is required"},
  };
  for (const Refusal& c : cases) {
    std::string joined;
    for (const auto& a : c.args)
      joined += "[" + a + "]";
    EXPECT_EQ(parse_error(c.args), c.message) << joined;
  }
}

TEST(ParseCommandLine, ExcludedPidNumberForms) {
  const std::vector<std::pair<std::string, std::uint32_t>> accepted = {
      {"42", 42}, {"+7", 7}, {"0007", 7}, {"4294967295", 4294967295u}, {"1", 1}};
  for (const auto& [text, pid] : accepted) {
    auto result = parse_command_line(Args{"--exclude-pids", text, "--target", "system"});
    ASSERT_TRUE(result) << text;
    EXPECT_EQ(std::get<CaptureSystem>(result.value()).excluded_pid, pid) << text;
  }
  for (const char* text : {"0", "+0", "000", "-5", "12,34", " 42", "42 ", "4294967296", "+", "-",
                           "", "++4", "0x10", "99999999999999999999999"}) {
    EXPECT_EQ(parse_error({"--exclude-pids", text, "--target", "system"}),
              "exactly one positive excluded PID is required")
        << "[" << text << "]";
  }
}

TEST(ParseCommandLine, TargetForms) {
  for (const char* target : {"pid:0", "pid:", "pid", "PID:5", "pid:5x", "System", "pid:-1",
                             "pid:4294967296", "", " system", "pid: 5"}) {
    EXPECT_EQ(parse_error({"--target", target, "--exclude-pids", "42", "--expected-exe", "x",
                           "--expected-start", "1"}),
              "target must be system or pid:N")
        << "[" << target << "]";
  }
  auto plus = parse_command_line(Args{"--target", "pid:+42", "--exclude-pids", "7",
                                      "--expected-exe", "x", "--expected-start", "1"});
  ASSERT_TRUE(plus);
  EXPECT_EQ(std::get<CaptureProcess>(plus.value()).target_pid, 42u);
}

TEST(ParseCommandLine, ExpectedStartForms) {
  for (const char* start : {"0", "-1", "18446744073709551616", "", "1.5", "+"}) {
    EXPECT_EQ(parse_error({"--target", "pid:7", "--exclude-pids", "42", "--expected-exe", "x",
                           "--expected-start", start}),
              "expected process creation time is required")
        << "[" << start << "]";
  }
  auto max = parse_command_line(Args{"--target", "pid:7", "--exclude-pids", "42", "--expected-exe",
                                     "x", "--expected-start", "18446744073709551615"});
  ASSERT_TRUE(max);
  EXPECT_EQ(std::get<CaptureProcess>(max.value()).expected_start, 18446744073709551615ull);
}

TEST(ParseCommandLine, BuildsEachRequestForm) {
  auto list = parse_command_line(Args{"--list"});
  ASSERT_TRUE(list);
  EXPECT_EQ(list.value(), HostRequest(ListApplications{}));

  // Pairs may come in any order.
  auto system = parse_command_line(Args{"--exclude-pids", "42", "--target", "system"});
  ASSERT_TRUE(system);
  EXPECT_EQ(system.value(), HostRequest(CaptureSystem{42}));

  // The parser does not compare PIDs: the process rules do.
  auto process =
      parse_command_line(Args{"--expected-start", "133", "--target", "pid:7", "--expected-exe",
                              "C:\\Program Files\\\xC3\xA4.exe", "--exclude-pids", "7"});
  ASSERT_TRUE(process);
  EXPECT_EQ(process.value(),
            HostRequest(CaptureProcess{7, 7, "C:\\Program Files\\\xC3\xA4.exe", 133}));
}

}  // namespace
}  // namespace audio_host
