#include "pulse/mixer.h"

#include <gtest/gtest.h>

#include <vector>

#include "capture_testing.h"

namespace audio_host {
namespace {

constexpr std::uint64_t kMs = 1'000'000;

// The mix as the capture pipeline receives it: a producer whose queue is
// read after every tick, and the losses it counted since then.
struct RecordingOutput {
  void tick(Mixer& mixer, std::uint64_t now_ns) {
    mixer.tick(now_ns, queue.producer);
    while (const vantle_audio::FrameChunk* chunk = queue.consumer.front()) {
      EXPECT_EQ(chunk->position, frames()) << "the mix is continuous";
      samples.insert(samples.end(), chunk->samples, chunk->samples + chunk->sample_count);
      queue.consumer.pop();
    }
    const vantle_audio::CaptureCounters& counters = queue.producer.counters();
    dropped_frames += counters.dropped_frames - seen_dropped;
    discontinuities += counters.discontinuities - seen_discontinuities;
    seen_dropped = counters.dropped_frames;
    seen_discontinuities = counters.discontinuities;
  }
  std::size_t frames() const { return samples.size() / kMixChannels; }

  vantle_audio::testing::CaptureQueue queue =
      vantle_audio::testing::CaptureQueue::create(kMixChannels);
  std::vector<float> samples;
  std::uint64_t dropped_frames = 0;
  std::uint64_t discontinuities = 0;
  std::uint64_t seen_dropped = 0;
  std::uint64_t seen_discontinuities = 0;
};

// Stereo frames whose left sample counts up from `first` and whose right one
// is its negative, so order and loss show in the mix.
std::vector<float> ramp(std::size_t frames, float first) {
  std::vector<float> samples;
  for (std::size_t i = 0; i < frames; ++i) {
    samples.push_back(first + static_cast<float>(i));
    samples.push_back(-(first + static_cast<float>(i)));
  }
  return samples;
}

TEST(FramesDue, FloorOfTheClockWithoutOverflow) {
  struct Case {
    std::uint64_t elapsed_ns;
    std::uint64_t frames;
  };
  const Case cases[] = {
      {0, 0},
      {20'833, 0},  // one frame lasts 20833.3 ns
      {20'834, 1},
      {20 * kMs, 960},
      {1'000'000'000, 48000},
      {1'500'000'001, 72000},
      {100ull * 3600 * 1'000'000'000, 100ull * 3600 * 48000},  // 100 hours
  };
  for (const Case& c : cases) {
    EXPECT_EQ(frames_due(c.elapsed_ns), c.frames) << c.elapsed_ns;
  }
}

TEST(Mixer, PushesExactlyTheFramesDueAsSilenceWithoutMembers) {
  Mixer mixer;
  RecordingOutput output;
  mixer.start(1000 * kMs);
  std::uint64_t now = 1000 * kMs;
  // Irregular ticks; none may lose or add a frame.
  for (const std::uint64_t step : {3'100'000ull, 5'000'000ull, 7'333'333ull, 1ull, 12'000'000ull}) {
    now += step;
    output.tick(mixer, now);
    EXPECT_EQ(output.frames(), frames_due(now - 1000 * kMs));
  }
  for (const float sample : output.samples) {
    ASSERT_EQ(sample, 0.0f);
  }
  EXPECT_EQ(output.dropped_frames, 0u);
  EXPECT_EQ(output.discontinuities, 0u);
}

// A mix with one member, its clock started at 0.
class OneMember : public testing::Test {
 protected:
  OneMember() {
    mixer.add(&member);
    mixer.start(0);
  }

  MixerLimits limits;
  Mixer mixer{limits};
  MemberBuffer member{limits};
  RecordingOutput output;
};

// Writes `fragments` fragments of 480 frames (10 ms) of a ramp from `first`.
void write_fragments(MemberBuffer& member, int fragments, float first) {
  for (int i = 0; i < fragments; ++i) {
    const std::vector<float> audio = ramp(480, first + 480.0f * static_cast<float>(i));
    member.write(audio.data(), 480);
  }
}

TEST(Mixer, MemberPrimesThenPlaysInOrderAndMembersAreSummed) {
  MixerLimits limits;
  Mixer mixer(limits);
  MemberBuffer first(limits);
  MemberBuffer second(limits);
  mixer.add(&first);
  mixer.add(&second);
  RecordingOutput output;
  mixer.start(0);

  // Below the priming level (20 ms plus the largest fragment): not read yet.
  write_fragments(first, 2, 1.0f);
  EXPECT_EQ(first.prime_level(), limits.prime_frames + 480);
  output.tick(mixer, 5 * kMs);
  ASSERT_EQ(output.frames(), 240u);
  EXPECT_EQ(output.samples[0], 0.0f);

  // Primed: played from its first frame on, with the second member added.
  write_fragments(first, 1, 961.0f);
  const std::vector<float> constant(480 * kMixChannels, 0.5f);
  for (int i = 0; i < 3; ++i) {
    second.write(constant.data(), 480);
  }
  output.tick(mixer, 10 * kMs);
  ASSERT_EQ(output.frames(), 480u);
  EXPECT_EQ(output.samples[240 * 2], 1.5f);
  EXPECT_EQ(output.samples[240 * 2 + 1], -0.5f);
  EXPECT_EQ(output.samples[479 * 2], 240.5f);
  EXPECT_EQ(output.discontinuities, 0u);
}

TEST_F(OneMember, UnderrunIsFilledWithSilenceAndCountedOnce) {
  write_fragments(member, 3, 1.0f);
  // 40 ms due: 1440 frames played, 480 frames of silence.
  output.tick(mixer, 40 * kMs);
  ASSERT_EQ(output.frames(), 1920u);
  EXPECT_EQ(output.samples[1439 * 2], 1440.0f);
  EXPECT_EQ(output.samples[1440 * 2], 0.0f);
  EXPECT_EQ(output.discontinuities, 1u);
  EXPECT_FALSE(member.playing());
  // A stream that stopped delivering is not counted again and again.
  for (std::uint64_t t = 45; t <= 500; t += 5) {
    output.tick(mixer, t * kMs);
  }
  EXPECT_EQ(output.discontinuities, 1u);
  EXPECT_EQ(output.frames(), frames_due(500 * kMs));
}

TEST_F(OneMember, CorkedMemberStopsWithoutADiscontinuity) {
  write_fragments(member, 4, 1.0f);
  output.tick(mixer, 5 * kMs);
  ASSERT_TRUE(member.playing());
  member.set_corked(true);
  output.tick(mixer, 200 * kMs);
  EXPECT_EQ(output.discontinuities, 0u);
  EXPECT_EQ(member.buffered_frames(), 1920u - 240u) << "kept for when it plays again";
  // Uncorked, it plays on from where it stopped.
  member.set_corked(false);
  const std::size_t before = output.frames();
  output.tick(mixer, 205 * kMs);
  EXPECT_EQ(output.samples[before * 2], 241.0f);
}

TEST_F(OneMember, AudioBeyondTheHighWaterMarkIsDroppedOldestFirstAndCounted) {
  // A burst far larger than the member can hold.
  const std::size_t burst = limits.capacity_frames + 1000;
  const std::vector<float> audio = ramp(burst, 1.0f);
  member.write(audio.data(), burst);
  const std::size_t kept = member.prime_level();
  EXPECT_EQ(member.buffered_frames(), kept);
  output.tick(mixer, 5 * kMs);
  EXPECT_EQ(output.dropped_frames, burst - kept);
  // The newest audio is what is left.
  EXPECT_EQ(output.samples[0], static_cast<float>(burst - kept + 1));
  // Steady writes below the mark lose nothing.
  output.dropped_frames = 0;
  for (std::uint64_t t = 10; t <= 1000; t += 5) {
    const std::vector<float> more = ramp(240, 0.0f);
    member.write(more.data(), 240);
    output.tick(mixer, t * kMs);
  }
  EXPECT_EQ(output.dropped_frames, 0u);
  EXPECT_EQ(output.discontinuities, 0u);
  EXPECT_LE(member.buffered_frames(), limits.high_water_frames);
}

// A stream 1000 ppm fast (481 frames for every 480 the clock takes): the
// surplus is dropped and counted in small steps, the buffer stays near its
// priming level, and nothing runs dry.
TEST_F(OneMember, AFastStreamLosesItsSurplusInSmallSteps) {
  std::uint64_t written = 0;
  std::uint64_t largest_step = 0;
  for (std::uint64_t t = 10; t <= 120'000; t += 10) {      // two minutes
    const std::size_t frames = t % 1000 == 0 ? 528 : 480;  // 48 extra a second
    const std::vector<float> audio = ramp(frames, static_cast<float>(written));
    member.write(audio.data(), frames);
    written += frames;
    const std::uint64_t before = output.dropped_frames;
    output.tick(mixer, t * kMs);
    largest_step = std::max(largest_step, output.dropped_frames - before);
    ASSERT_LE(member.buffered_frames(), 2 * member.prime_level()) << t;
  }
  EXPECT_EQ(output.discontinuities, 0u);
  // About 48 a second after the first few seconds, never a big jump.
  EXPECT_GE(output.dropped_frames, 48u * 100);
  EXPECT_LE(output.dropped_frames, 48u * 120);
  EXPECT_LE(largest_step, limits.drift_step_frames);
  // The newest audio is what plays: the mix's last frame is close behind
  // the last frame written.
  EXPECT_GE(output.samples[output.samples.size() - 2],
            static_cast<float>(written - 2 * member.prime_level()));
}

// A stream that keeps the clock's pace loses nothing: neither when it held
// more when it began (a server that hands over what it had buffered first)
// nor when one delivery was late while it started (the server busy opening
// other streams), a dip in what it held that is not its pace.
TEST(Mixer, AStreamAtThePaceOfTheClockLosesNothing) {
  struct Case {
    const char* name;
    int head_fragments;                       // 10 ms fragments written before the clock starts
    int (*fragments_at)(std::uint64_t t_ms);  // then, before the tick at t
  };
  const Case cases[] = {
      {"50 ms held at its start", 5, [](std::uint64_t) { return 1; }},
      {"30 ms late at 0.5 s, the three fragments with the next one", 4,
       [](std::uint64_t t) { return t >= 500 && t < 530 ? 0
                                    : t == 530          ? 4
                                                        : 1; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MixerLimits limits;
    Mixer mixer(limits);
    MemberBuffer member(limits);
    mixer.add(&member);
    RecordingOutput output;
    mixer.start(0);
    write_fragments(member, c.head_fragments, 0.0f);
    for (std::uint64_t t = 10; t <= 30'000; t += 10) {
      write_fragments(member, c.fragments_at(t), 0.0f);
      output.tick(mixer, t * kMs);
    }
    EXPECT_EQ(output.dropped_frames, 0u);
    EXPECT_EQ(output.discontinuities, 0u);
  }
}

TEST(Mixer, CatchUpAfterAStallIsCappedAndTheRestCounted) {
  MixerLimits limits;
  Mixer mixer(limits);
  RecordingOutput output;
  mixer.start(0);
  output.tick(mixer, 2000 * kMs);  // the loop stalled for two seconds
  EXPECT_EQ(output.frames(), limits.max_catch_up_frames);
  EXPECT_EQ(output.dropped_frames, 96000u - limits.max_catch_up_frames);
  EXPECT_EQ(mixer.frames_pushed(), 96000u);
  output.tick(mixer, 2005 * kMs);
  EXPECT_EQ(output.frames(), limits.max_catch_up_frames + 240);
}

TEST(Mixer, RemovedMemberLeavesItsCountsBehind) {
  MixerLimits limits;
  Mixer mixer(limits);
  RecordingOutput output;
  mixer.start(0);
  {
    MemberBuffer member(limits);
    mixer.add(&member);
    const std::vector<float> audio = ramp(limits.capacity_frames + 10, 0.0f);
    member.write(audio.data(), limits.capacity_frames + 10);
    mixer.remove(&member);
  }
  EXPECT_EQ(mixer.member_count(), 0u);
  output.tick(mixer, 5 * kMs);
  EXPECT_EQ(output.dropped_frames, limits.capacity_frames + 10) << "none of it played";
  EXPECT_EQ(output.frames(), 240u);
  EXPECT_EQ(output.samples[0], 0.0f);
}

// A stream that ends leaves its last fragments in its buffer: they are
// played out, whether the member had primed or not, and its end is no
// discontinuity. A corked one is drained at once; removing it counts what
// it held.
TEST(Mixer, EndedMemberPlaysOutWhatItHoldsThenLeaves) {
  struct Case {
    const char* name;
    int fragments_before;  // written and played before the end
    int fragments_held;    // written just before the end
    bool corked;
    std::size_t played;  // frames of the ramp in the mix
    std::uint64_t dropped;
  };
  const Case cases[] = {
      {"playing", 4, 2, false, 6 * 480, 0},
      {"never primed (a stream shorter than the priming level)", 0, 1, false, 480, 0},
      {"corked", 4, 2, true, 240, 6 * 480 - 240},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MixerLimits limits;
    Mixer mixer(limits);
    MemberBuffer member(limits);
    mixer.add(&member);
    RecordingOutput output;
    mixer.start(0);
    write_fragments(member, c.fragments_before, 1.0f);
    output.tick(mixer, 5 * kMs);
    write_fragments(member, c.fragments_held, 1.0f + 480.0f * c.fragments_before);
    member.set_corked(c.corked);
    member.end();
    std::uint64_t now = 5 * kMs;
    while (!member.drained() && now < 1000 * kMs) {
      now += 5 * kMs;
      output.tick(mixer, now);
    }
    ASSERT_TRUE(member.drained());
    mixer.remove(&member);
    output.tick(mixer, now + 5 * kMs);
    // The ramp from its first frame, after the silence before it primed.
    std::size_t from = 0;
    while (from < output.frames() && output.samples[from * 2] == 0.0f) {
      ++from;
    }
    std::size_t played = 0;
    while (from + played < output.frames() &&
           output.samples[(from + played) * 2] == static_cast<float>(played + 1)) {
      ++played;
    }
    EXPECT_EQ(played, c.played);
    EXPECT_EQ(output.dropped_frames, c.dropped);
    EXPECT_EQ(output.discontinuities, 0u);
  }
}

}  // namespace
}  // namespace audio_host
