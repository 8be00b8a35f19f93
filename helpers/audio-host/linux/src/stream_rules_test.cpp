#include "stream_rules.h"

#include <gtest/gtest.h>

namespace audio_host {
namespace {

TEST(StreamProcessId, OwnPropertyFirstThenTheClients) {
  struct Case {
    const char* own;
    const char* client;
    std::optional<std::uint32_t> pid;
  };
  const Case cases[] = {
      {"4242", "17", 4242},
      {nullptr, "17", 17},
      {"", "17", 17},
      {"0", "17", 17},
      {"-5", nullptr, std::nullopt},
      {"12 ", nullptr, std::nullopt},
      {"+12", nullptr, std::nullopt},
      {"99999999999", nullptr, std::nullopt},
      {nullptr, nullptr, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stream_process_id(c.own, c.client), c.pid)
        << (c.own ? c.own : "null") << " / " << (c.client ? c.client : "null");
  }
}

TEST(StreamIsCaptured, IncludesTheTargetsTreeOrExcludesTheTranslators) {
  // 1 <- 10 (translator) <- 11 (host), 10 <- 12 <- 13; 1 <- 20 (target) <- 21 <- 22;
  // 30 <-> 31 a loop.
  const ProcessTable table = {{1, 0},  {10, 1},  {11, 10}, {12, 10}, {13, 12},
                              {20, 1}, {21, 20}, {22, 21}, {30, 31}, {31, 30}};
  using Mode = CaptureSelection::Mode;
  const CaptureSelection include{Mode::include_tree, 20};
  const CaptureSelection exclude{Mode::exclude_tree, 10};
  struct Case {
    std::optional<std::uint32_t> pid;
    bool included;
    bool in_system_capture;
  };
  const Case cases[] = {
      {20, true, true},
      {22, true, true},
      {1, false, true},
      {10, false, false},
      {11, false, false},
      {13, false, false},
      {40, false, true},  // not in the table: a process of another namespace
      {std::nullopt, false, true},
      {30, false, false},  // a loop proves nothing
  };
  for (const Case& c : cases) {
    const std::string name = c.pid ? std::to_string(*c.pid) : "unknown";
    EXPECT_EQ(stream_is_captured(include, c.pid, table), c.included) << name;
    EXPECT_EQ(stream_is_captured(exclude, c.pid, table), c.in_system_capture) << name;
  }
}

}  // namespace
}  // namespace audio_host
