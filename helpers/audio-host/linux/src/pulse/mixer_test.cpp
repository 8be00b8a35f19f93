#include "pulse/mixer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
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
      samples.insert(samples.end(), chunk->silent_frames * kMixChannels, 0.0f);
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

// Writes `count` 10 ms fragments of a ramp to `member`, from fragment number
// `fragment` on (which it advances); with `pauses`, every other fragment is
// silence (speech).
void write_fragments_of_ramp(MemberBuffer& member, std::uint64_t& fragment, int count,
                             bool pauses) {
  for (int i = 0; i < count; ++i, ++fragment) {
    const bool silent = pauses && fragment % 2 == 1;
    const std::vector<float> audio =
        silent ? std::vector<float>(480 * kMixChannels, 0.0f) : ramp(480, 1.0f + 480.0f * fragment);
    member.write(audio.data(), 480);
  }
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
struct OneMemberMix {
  OneMemberMix() {
    mixer.add(&member);
    mixer.start(0);
  }

  MixerLimits limits;
  Mixer mixer{limits};
  MemberBuffer member{limits};
  RecordingOutput output;
};

class OneMember : public testing::Test, protected OneMemberMix {};

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

  // Below the priming level (its margin, 5 ms, plus the largest fragment):
  // not read yet.
  write_fragments(first, 1, 1.0f);
  EXPECT_EQ(first.prime_level(), limits.floor_margin_frames + 480);
  output.tick(mixer, 5 * kMs);
  ASSERT_EQ(output.frames(), 240u);
  EXPECT_EQ(output.samples[0], 0.0f);

  // Primed: played from its first frame on, with the second member added.
  write_fragments(first, 2, 481.0f);
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
  for (std::uint64_t t = 10; t <= 200; t += 5) {
    output.tick(mixer, t * kMs);
  }
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

// A stream 1000 ppm fast (481 frames for every 480 the clock takes) of
// continuous sound: the surplus is dropped and counted in small steps, the
// buffer stays near its priming level, and nothing runs dry.
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
  EXPECT_LE(largest_step, limits.shrink_step_frames);
  // The newest audio is what plays: the mix's last frame is close behind
  // the last frame written.
  EXPECT_GE(output.samples[output.samples.size() - 2],
            static_cast<float>(written - 2 * member.prime_level()));
}

// A stream that keeps the clock's pace loses no sound: neither when it held
// more when it began (a server that hands over what it had buffered first:
// the surplus latency is given back in its quiet frames) nor when one
// delivery was late while it started (the server busy opening other
// streams). Sound that has no quiet frames gives the surplus back in counted
// steps of at most 5 ms a second, and nothing runs dry.
TEST(Mixer, AStreamAtThePaceOfTheClockLosesNoSound) {
  struct Case {
    const char* name;
    int head_fragments;                       // 10 ms fragments written before the clock starts
    int (*fragments_at)(std::uint64_t t_ms);  // then, before the tick at t
    bool pauses;                              // every other fragment is silence (speech)
    std::uint64_t most_dropped;
  };
  const auto steady = [](std::uint64_t) { return 1; };
  const Case cases[] = {
      {"50 ms held at its start, with pauses", 5, steady, true, 0},
      {"30 ms late at 0.5 s, the three fragments with the next one, with pauses", 4,
       [](std::uint64_t t) { return t >= 500 && t < 530 ? 0
                                    : t == 530          ? 4
                                                        : 1; }, true, 0},
      {"50 ms held at its start, continuous sound", 5, steady, false, 5 * 480},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneMemberMix mix;
    // Named references, not a structured binding: lambdas below capture them.
    const MixerLimits& limits = mix.limits;
    Mixer& mixer = mix.mixer;
    MemberBuffer& member = mix.member;
    RecordingOutput& output = mix.output;
    std::uint64_t fragment = 0;
    const auto write = [&](int count) {
      write_fragments_of_ramp(member, fragment, count, c.pauses);
    };
    write(c.head_fragments);
    std::uint64_t largest_step = 0;
    for (std::uint64_t t = 10; t <= 30'000; t += 10) {
      write(c.fragments_at(t));
      const std::uint64_t before = output.dropped_frames;
      output.tick(mixer, t * kMs);
      largest_step = std::max(largest_step, output.dropped_frames - before);
    }
    EXPECT_LE(output.dropped_frames, c.most_dropped);
    EXPECT_LE(largest_step, limits.shrink_step_frames);
    EXPECT_EQ(output.discontinuities, 0u);
    // The surplus is gone: what it holds is its margin and a fragment.
    EXPECT_LE(member.buffered_frames(), member.prime_level() + limits.slice_frames / 4);
  }
}

// Latency held in silence goes at once: a stream that holds 120 ms more
// than it needs (what a server stall left) and pauses between its words is
// back at its priming level within two seconds, without a sound dropped;
// without pauses it gives the surplus back 5 ms a second.
TEST(Mixer, SurplusLatencyGoesInTheQuietAtOnceAndInSoundSlowly) {
  struct Case {
    const char* name;
    bool pauses;
    std::uint64_t back_by_ms;  // 0: not back within the run
  };
  const Case cases[] = {
      {"with pauses", true, 2000},
      {"continuous sound", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneMemberMix mix;
    // Named references, not a structured binding: lambdas below capture them.
    const MixerLimits& limits = mix.limits;
    Mixer& mixer = mix.mixer;
    MemberBuffer& member = mix.member;
    RecordingOutput& output = mix.output;
    std::uint64_t fragment = 0;
    const auto write = [&](int count) {
      write_fragments_of_ramp(member, fragment, count, c.pauses);
    };
    write(13);  // 120 ms beyond the priming level
    std::uint64_t back_at = 0;
    for (std::uint64_t t = 10; t <= 4000; t += 10) {
      write(1);
      output.tick(mixer, t * kMs);
      if (back_at == 0 && t > 1000 &&
          member.buffered_frames() <= member.prime_level() + limits.slice_frames / 4) {
        back_at = t;
      }
    }
    if (c.back_by_ms != 0) {
      EXPECT_NE(back_at, 0u);
      EXPECT_LE(back_at, c.back_by_ms);
      EXPECT_EQ(output.dropped_frames, 0u);
    } else {
      EXPECT_EQ(back_at, 0u) << "sound is given back 5 ms a second";
      EXPECT_LE(output.dropped_frames, 4u * limits.shrink_step_frames);
    }
    EXPECT_EQ(output.discontinuities, 0u);
  }
}

// The clock owes 48000 frames a second whatever happens to the loop: two
// seconds it could not run are written as silence (one discontinuity),
// never more than max_push_frames a tick so that the pipeline's queue keeps
// up. The member's two seconds of audio that arrive at once after the stall
// are dropped down to its priming level (counted), and its sound follows
// the silence.
TEST(Mixer, WhatAStalledLoopCouldNotMixIsSilenceAndCounted) {
  MixerLimits limits;
  Mixer mixer(limits);
  MemberBuffer member(limits);
  mixer.add(&member);
  RecordingOutput output;
  mixer.start(0);
  write_fragments(member, 2, 1.0f);
  output.tick(mixer, 5 * kMs);
  const std::vector<float> backlog = ramp(96000, 1.0f);
  member.write(backlog.data(), 96000);  // what the server delivered meanwhile
  const std::size_t kept = member.buffered_frames();
  std::uint64_t now = 2005 * kMs;  // the loop stalled for two seconds
  std::size_t largest_tick = 0;
  for (int tick = 0; tick == 0 || mixer.silence_owed() > 0; ++tick, now += 5 * kMs) {
    ASSERT_LT(tick, 100) << "the silence never went out";
    if (tick % 2 == 0) {
      write_fragments(member, 1, 1.0f);  // its 10 ms fragments go on
    }
    const std::size_t before = output.frames();
    output.tick(mixer, now);
    largest_tick = std::max(largest_tick, output.frames() - before);
  }
  output.tick(mixer, now);
  EXPECT_EQ(output.frames(), frames_due(now));
  EXPECT_LE(largest_tick, limits.max_push_frames);
  EXPECT_EQ(output.discontinuities, 1u);
  EXPECT_EQ(output.dropped_frames, 96000u + 2 * 480 - 240 - kept);
  // Silence for what could not be mixed, the member's sound after it.
  EXPECT_EQ(output.samples[frames_due(1000 * kMs) * 2], 0.0f);
  EXPECT_NE(output.samples[output.samples.size() - 2], 0.0f);
}

// A member fed the 10 ms fragments of a ramp, one every 10 ms, and mixed on
// a 5 ms tick; at each hiccup the fragments due during `late_ms` are held
// back and delivered together at its end (a server or host that could not
// run). The latency of its sound after each tick: frames between the ramp
// frame mixed last and the output frame it went to.
struct Hiccup {
  std::uint64_t at_ms;
  std::uint64_t late_ms;
};

struct MemberRun {
  RecordingOutput output;
  std::vector<std::uint64_t> latency;  // per tick, in frames (0: not playing yet)
  std::size_t largest_margin = 0;
  std::size_t final_margin = 0;
};

std::unique_ptr<MemberRun> run_member(const std::vector<Hiccup>& hiccups, std::uint64_t seconds) {
  auto run = std::make_unique<MemberRun>();
  MixerLimits limits;
  Mixer mixer(limits);
  MemberBuffer member(limits);
  mixer.add(&member);
  mixer.start(0);
  const auto delivered_at = [&](std::uint64_t due_ms) {
    for (const Hiccup& hiccup : hiccups) {
      if (due_ms >= hiccup.at_ms && due_ms < hiccup.at_ms + hiccup.late_ms) {
        return hiccup.at_ms + hiccup.late_ms;
      }
    }
    return due_ms;
  };
  std::uint64_t next_fragment = 0;
  for (std::uint64_t t = 5; t <= seconds * 1000; t += 5) {
    while (delivered_at(next_fragment * 10) <= t && next_fragment * 10 <= t) {
      const std::vector<float> audio = ramp(480, 1.0f + 480.0f * next_fragment);
      member.write(audio.data(), 480);
      ++next_fragment;
    }
    run->output.tick(mixer, t * kMs);
    const float last = run->output.samples[run->output.samples.size() - 2];
    run->latency.push_back(last > 0 ? run->output.frames() - static_cast<std::uint64_t>(last) : 0);
    run->largest_margin = std::max(run->largest_margin, member.margin_frames());
  }
  run->final_margin = member.margin_frames();
  return run;
}

// The adaptive buffer: a hiccup costs one counted gap, the margin grows so
// that the same hiccup again is absorbed, and once deliveries are steady the
// latency comes back down to where it was, however many hiccups there were
// (no ratchet).
TEST(MemberBuffer, GrowsAfterAHiccupAndComesBackWhenDeliveriesAreSteady) {
  struct Case {
    const char* name;
    std::vector<Hiccup> hiccups;
    std::uint64_t discontinuities;
  };
  const Case cases[] = {
      {"steady deliveries", {}, 0},
      {"one delivery 40 ms late", {{5000, 40}}, 1},
      {"the same hiccup twice, 2 s apart: the second is absorbed", {{5000, 30}, {7000, 30}}, 1},
      {"three hiccups far apart", {{5000, 20}, {25000, 60}, {45000, 30}}, 3},
      {"a hiccup of 15 ms every second (a busy desktop)",
       {{5000, 15}, {6000, 15}, {7000, 15}, {8000, 15}, {9000, 15}, {10000, 15}},
       1},
      // Hiccups that recur: each that finds the margin relaxed again is
      // counted, the others are absorbed.
      {"a hiccup of 20 ms every 12 s (a busy desktop)",
       {{5000, 20}, {17000, 20}, {29000, 20}, {41000, 20}, {53000, 20}},
       3},
      // Longer than any margin: the server stopped. Nothing to absorb next
      // time, so the margin stays and latency is back at once.
      {"the server stopped for 300 ms three times, 20 s apart",
       {{15000, 300}, {35000, 300}, {55000, 300}},
       3},
  };
  const MixerLimits limits;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto run = run_member(c.hiccups, 90);
    EXPECT_EQ(run->output.discontinuities, c.discontinuities);
    // Before any hiccup: its floor margin, a fragment and a tick at most.
    const std::uint64_t initial =
        *std::max_element(run->latency.begin() + 200, run->latency.begin() + 900);
    EXPECT_LE(initial, limits.floor_margin_frames + 480 + 240);
    // Grown to absorb the largest hiccup, bounded.
    const std::uint64_t largest_late = c.hiccups.empty()
                                           ? 0
                                           : std::max_element(c.hiccups.begin(), c.hiccups.end(),
                                                              [](const Hiccup& a, const Hiccup& b) {
                                                                return a.late_ms < b.late_ms;
                                                              })
                                                 ->late_ms;
    if (largest_late * 48 <= limits.max_margin_frames) {
      EXPECT_GE(run->largest_margin + 480, largest_late * 48);
    } else {
      EXPECT_EQ(run->largest_margin, limits.floor_margin_frames);
      for (const Hiccup& hiccup : c.hiccups) {
        // A second after it, latency is where it began (a tick per 5 ms).
        const auto after = run->latency.begin() + (hiccup.at_ms + hiccup.late_ms + 1000) / 5;
        EXPECT_LE(*std::max_element(after, after + 200), initial + 240) << "at " << hiccup.at_ms;
      }
    }
    EXPECT_LE(run->largest_margin, limits.max_margin_frames);
    // The last ten seconds: back to where it began.
    const std::uint64_t final = *std::max_element(run->latency.end() - 2000, run->latency.end());
    EXPECT_LE(final, initial + 240) << "latency in frames";
    EXPECT_EQ(run->final_margin, limits.floor_margin_frames);
  }
}

// A paused stream (corked): PulseAudio feeds silence to its monitor, which
// is neither stored, mixed nor counted once the host knows of the pause;
// sound that arrives before the host has learnt of the resume is kept. It
// plays on from where it stopped, at the latency it had.
TEST(MemberBuffer, APausedStreamIsNeitherMixedNorCountedAndResumesAtItsLatency) {
  struct Case {
    const char* name;
    int silent_fragments;       // fed while corked
    int resumed_before_uncork;  // sounding fragments that arrive before the uncork
  };
  const Case cases[] = {
      {"paused 3 s", 300, 0},
      {"paused 3 s, its sound back 20 ms before the uncork is known", 300, 2},
      {"paused for less than a fragment", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneMemberMix mix;
    // Named references, not a structured binding: lambdas below capture them.
    Mixer& mixer = mix.mixer;
    MemberBuffer& member = mix.member;
    RecordingOutput& output = mix.output;
    std::uint64_t t = 0;
    std::uint64_t fragment = 0;
    // Where each fragment's first frame was written, in frames of the clock.
    std::map<float, std::uint64_t> written_at;
    const auto write = [&](bool sound, std::size_t frames = 480) {
      if (sound) {
        const std::vector<float> audio = ramp(480, 1.0f + 480.0f * fragment++);
        written_at[audio[0]] = frames_due(t * kMs);
        member.write(audio.data(), 480);
      } else {
        const std::vector<float> silence(frames * kMixChannels, 0.0f);
        member.write(silence.data(), frames);
      }
    };
    const auto ten_ms = [&] {
      output.tick(mixer, (t += 5) * kMs);
      output.tick(mixer, (t += 5) * kMs);
    };
    for (int i = 0; i < 200; ++i, ten_ms()) {
      write(true);
    }
    const std::uint64_t paused_after = fragment;
    write(false, 48);  // the server's silence, a moment before the host learns of the pause
    ten_ms();
    member.set_corked(true);
    for (int i = 0; i < c.silent_fragments; ++i, ten_ms()) {
      write(false);
    }
    for (int i = 0; i < c.resumed_before_uncork; ++i, ten_ms()) {
      write(true);
    }
    member.set_corked(false);
    for (int i = 0; i < 300; ++i, ten_ms()) {
      write(true);
    }
    EXPECT_EQ(output.dropped_frames, 0u);
    EXPECT_EQ(output.discontinuities, 0u);
    // The ramp goes on without a frame missing or repeated, and each
    // fragment's latency (mixed at less written at).
    std::map<std::uint64_t, std::uint64_t> latency;  // by fragment
    float previous = 0;
    for (std::size_t i = 0; i < output.frames(); ++i) {
      const float sample = output.samples[i * 2];
      if (sample == 0.0f) {
        continue;
      }
      ASSERT_TRUE(previous == 0 || sample == previous + 1) << "frame " << i;
      previous = sample;
      if (const auto found = written_at.find(sample); found != written_at.end()) {
        latency[static_cast<std::uint64_t>(sample - 1) / 480] = i - found->second;
      }
    }
    ASSERT_GE(latency.size(), fragment - 1) << "every fragment played, but for the last";
    const std::uint64_t before = latency.at(paused_after - 1);
    EXPECT_LE(latency.at(paused_after), before + 480) << "the first fragment after the pause";
    EXPECT_LE(latency.rbegin()->second, before + 240) << "the last fragment";
  }
}

// What a member lost before its buffer (it played while its monitor was
// not there): counted once, with the frames given.
TEST(MemberBuffer, CountsWhatWasLostBeforeItsBuffer) {
  MixerLimits limits;
  Mixer mixer(limits);
  MemberBuffer member(limits);
  mixer.add(&member);
  RecordingOutput output;
  mixer.start(0);
  member.count_lost(480);
  output.tick(mixer, 5 * kMs);
  EXPECT_EQ(output.dropped_frames, 480u);
  EXPECT_EQ(output.discontinuities, 1u);
}

TEST(Mixer, RemovedMemberLeavesItsCountsBehind) {
  MixerLimits limits;
  Mixer mixer(limits);
  RecordingOutput output;
  mixer.start(0);
  {
    MemberBuffer member(limits);
    mixer.add(&member);
    const std::vector<float> audio = ramp(limits.capacity_frames + 10, 1.0f);
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
    OneMemberMix mix;
    // Named references, not a structured binding: lambdas below capture them.
    Mixer& mixer = mix.mixer;
    MemberBuffer& member = mix.member;
    RecordingOutput& output = mix.output;
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
