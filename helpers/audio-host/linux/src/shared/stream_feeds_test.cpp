#include "shared/stream_feeds.h"

#include <gtest/gtest.h>

#include <vector>

namespace audio_host::linux_host {
namespace {

TEST(StreamFeeds, ASinksMixOrMonitorCarriesOtherStreamsARealSourceDoesNot) {
  using enum StreamFeed;
  struct Case {
    const char* name;
    std::vector<StreamFeed> feeds;
    bool carries;
  };
  const Case cases[] = {
      {"remap or echo-cancel sink's output", {sink_mix}, true},
      {"loopback of a sink's monitor", {sink_monitor}, true},
      {"loopback of a microphone", {capture_source}, false},
      {"echo-cancel: the sink's mix and the microphone", {capture_source, sink_mix}, true},
      {"a module that records nothing (a network receiver)", {}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(carries_other_streams(c.feeds), c.carries) << c.name;
  }
}

}  // namespace
}  // namespace audio_host::linux_host
