#include "pulse/stream_rules.h"

#include <gtest/gtest.h>

namespace audio_host::linux_host {
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

}  // namespace
}  // namespace audio_host::linux_host
