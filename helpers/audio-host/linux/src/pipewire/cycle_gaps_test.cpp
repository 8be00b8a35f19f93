#include "pipewire/cycle_gaps.h"

#include <gtest/gtest.h>

#include <vector>

namespace audio_host::pipewire_host {
namespace {

struct Cycle {
  std::uint64_t ticks;
  std::uint32_t rate;
  std::uint64_t frames;
  CycleGap gap;  // expected before this cycle's frames
};

void expect_gaps(const char* name, const std::vector<Cycle>& cycles) {
  CycleGaps gaps(48000, 8192);
  for (std::size_t i = 0; i < cycles.size(); ++i) {
    const Cycle& c = cycles[i];
    const CycleGap gap = gaps.next_cycle(c.ticks, c.rate, c.frames);
    EXPECT_EQ(gap.silence_frames, c.gap.silence_frames) << name << ", cycle " << i;
    EXPECT_EQ(gap.dropped_frames, c.gap.dropped_frames) << name << ", cycle " << i;
    EXPECT_EQ(gap.discontinuity, c.gap.discontinuity) << name << ", cycle " << i;
  }
}

constexpr CycleGap kNone{};

TEST(CycleGaps, MissedCyclesAreFilledWhateverTheQuantum) {
  expect_gaps("steady",
              {{1000, 48000, 1024, kNone}, {2024, 48000, 1024, kNone}, {3048, 48000, 1024, kNone}});
  expect_gaps("one cycle missed", {{0, 48000, 256, kNone},
                                   {256, 48000, 256, kNone},
                                   {768, 48000, 256, {256, 0, true}},
                                   {1024, 48000, 256, kNone}});
  expect_gaps("the quantum changes: no gap", {{0, 48000, 2048, kNone},
                                              {2048, 48000, 32, kNone},
                                              {2080, 48000, 8192, kNone},
                                              {10272, 48000, 1024, kNone}});
  expect_gaps("a cycle missed as the quantum changes", {{0, 48000, 2048, kNone},
                                                        {2048, 48000, 2048, kNone},
                                                        {4096 + 512, 48000, 512, {512, 0, true}}});
  expect_gaps("a long stall: the fill is bounded, the rest counted",
              {{0, 48000, 1024, kNone}, {1024 + 48000, 48000, 1024, {8192, 48000 - 8192, true}}});
}

TEST(CycleGaps, ADriverChangeOrAnUnknownRateStartsAfresh) {
  // The stream's time carries on where it was when the driver changes, so
  // the position does not move on as far as the last cycle.
  expect_gaps("new driver", {{0, 48000, 1024, kNone},
                             {1024, 48000, 1024, kNone},
                             {1024, 48000, 1024, kNone},
                             {2048, 48000, 1024, kNone}});
  expect_gaps("going back",
              {{5000, 48000, 256, kNone}, {100, 48000, 256, kNone}, {356, 48000, 256, kNone}});
  expect_gaps("unknown rate", {{0, 48000, 256, kNone},
                               {0, 0, 256, kNone},
                               {9999, 48000, 256, kNone},
                               {10255, 48000, 256, kNone}});
  expect_gaps("rate changed", {{0, 48000, 1024, kNone}, {5000, 44100, 1115, kNone}});
}

TEST(CycleGaps, AtAnotherGraphRateTheConvertersJitterIsNoGap) {
  // 44100 Hz graph, quantum 1024: the stream gets 1114 or 1115 frames.
  expect_gaps("44.1 kHz", {{0, 44100, 1115, kNone},
                           {1024, 44100, 1114, kNone},
                           {2048, 44100, 1115, kNone},
                           {4096, 44100, 1114, {1115, 0, true}}});
}

}  // namespace
}  // namespace audio_host::pipewire_host
