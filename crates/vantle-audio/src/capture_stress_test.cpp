// Two threads at full speed, at real-time pace and in bursts: every frame
// pushed either comes out once and in order or is counted as dropped, and
// the worker never sleeps through a wake-up. Meant for the ThreadSanitizer
// build as much as for the others.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "capture.h"
#include "capture_testing.h"
#include "pipeline_test_support.h"

namespace vantle_audio {
namespace {

using namespace std::chrono_literals;

// The queue alone, with a consumer that checks every sample: each chunk
// continues where the previous one ended, or the frames in between were
// counted as dropped.
TEST(CaptureStress, QueueAtFullSpeedLosesNothingUncounted) {
  testing::CaptureQueue queue = testing::CaptureQueue::create(2);
  std::atomic<bool> producer_done{false};
  std::uint64_t taken_frames = 0;
  std::uint64_t gap_frames = 0;
  std::uint64_t taken_chunks = 0;
  std::uint64_t expected = 0;  // the position that continues without a gap
  bool ok = true;
  std::thread consumer([&] {
    for (;;) {
      const FrameChunk* chunk = queue.consumer.front();
      if (chunk == nullptr) {
        if (producer_done.load() && queue.consumer.front() == nullptr) {
          return;
        }
        std::this_thread::yield();
        continue;
      }
      const std::uint64_t frames = chunk->sample_count / 2;
      ok = ok && chunk->position >= expected && chunk->sample_count % 2 == 0;
      for (std::uint64_t f = 0; f < frames && ok; ++f) {
        const auto value = static_cast<float>((chunk->position + f) & 0xFFFFFF);
        ok = chunk->samples[2 * f] == value && chunk->samples[2 * f + 1] == -value;
      }
      if (!ok) {
        return;
      }
      gap_frames += chunk->position - expected;
      expected = chunk->position + frames;
      taken_frames += frames;
      ++taken_chunks;
      queue.consumer.pop();
    }
  });

  // Mostly small packets (many chunks cheaply), now and then one that spans
  // several chunks.
  const std::uint64_t sizes[] = {8, 2, 64, 8, 2, 8, 2, 64, 8, 2};
  std::vector<float> packet;
  std::uint64_t frame = 0;
  std::uint64_t chunks = 0;
  for (std::uint64_t n = 0; chunks < 1'000'000; ++n) {
    const std::uint64_t samples = n % 100 == 99 ? 2500 : sizes[n % std::size(sizes)];
    packet.resize(samples);
    for (std::uint64_t f = 0; f < samples / 2; ++f) {
      const auto value = static_cast<float>((frame + f) & 0xFFFFFF);
      packet[2 * f] = value;
      packet[2 * f + 1] = -value;
    }
    queue.producer.push_samples(packet.data(), samples);
    frame += samples / 2;
    chunks += (samples + 1023) / 1024;
  }
  producer_done = true;
  consumer.join();

  ASSERT_TRUE(ok);
  const CaptureCounters& counters = queue.producer.counters();
  EXPECT_EQ(counters.accepted_frames + counters.dropped_frames, frame);
  EXPECT_EQ(taken_frames, counters.accepted_frames.load());
  // Drops show as gaps between chunks, or after the last chunk taken.
  EXPECT_EQ(gap_frames + (frame - expected), counters.dropped_frames.load());
  EXPECT_GT(taken_chunks, 0u);
}

// The sequence for the worker runs, cheap enough to push a million packets
// under a sanitizer: packets of 480 stereo frames, each a copy of one
// template in which frames 4 ... 479 carry their offset and frames 0 ... 3
// the packet's number, 10 bits each. A chunk is one packet, so every block
// the worker writes must be two whole packets in a row.
constexpr std::uint64_t kPacketFrames = 480;

float code_sample(std::uint64_t code) {
  return (static_cast<float>(code) + 0.5f) / 32768.0f;  // converts back to `code`
}

std::vector<float> packet_template() {
  std::vector<float> samples(2 * kPacketFrames);
  for (std::uint64_t j = 4; j < kPacketFrames; ++j) {
    samples[2 * j] = samples[2 * j + 1] = code_sample(4096 + j);
  }
  return samples;
}

void stamp_packet(std::vector<float>& samples, std::uint64_t packet) {
  for (std::uint64_t j = 0; j < 4; ++j) {
    samples[2 * j] = samples[2 * j + 1] = code_sample((j << 10) | ((packet >> (10 * j)) & 0x3FF));
  }
}

// The packet number of 480 frames of output, or nullopt if they are not one
// whole packet.
std::optional<std::uint64_t> packet_number(const std::uint8_t* bytes) {
  std::uint64_t number = 0;
  for (std::uint64_t j = 0; j < kPacketFrames; ++j) {
    const std::uint64_t code = bytes[2 * j] | (std::uint64_t{bytes[2 * j + 1]} << 8);
    if (j < 4) {
      if ((code >> 10) != j) {
        return std::nullopt;
      }
      number |= (code & 0x3FF) << (10 * j);
    } else if (code != 4096 + j) {
      return std::nullopt;
    }
  }
  return number;
}

// Checks each written block; runs on the worker, read after the join
// (`blocks` also while it runs).
struct VerifyingSink {
  std::uint64_t next_packet = 0;  // the earliest packet the next block may start with
  std::atomic<std::uint64_t> blocks{0};
  std::uint64_t bad_blocks = 0;

  static vantle::WriteStatus write(void* context, const std::uint8_t* bytes, std::size_t size,
                                   vantle::WriteStop) {
    auto* self = static_cast<VerifyingSink*>(context);
    const auto first = size == 4 * kPacketFrames ? packet_number(bytes) : std::nullopt;
    const auto second = first ? packet_number(bytes + 2 * kPacketFrames) : std::nullopt;
    if (!second || *first < self->next_packet || *second != *first + 1) {
      ++self->bad_blocks;
    } else {
      self->next_packet = *second + 1;
    }
    ++self->blocks;
    return vantle::WriteStatus::written();
  }
};

struct PipelineRun {
  VerifyingSink sink;
  std::uint64_t packets = 0;
  std::uint64_t accepted = 0;
  std::uint64_t dropped = 0;
};

// Pushes `packets` packets through the real worker, one every `pace` (zero:
// at full speed), then releases the producer and stops the worker.
void run_pipeline(PipelineRun& run, std::uint64_t packets, std::chrono::microseconds pace) {
  CaptureWorkerOptions options;
  options.pcm_output = OutputSink{&VerifyingSink::write, &run.sink};
  options.diagnostics = false;
  auto started = CapturePipeline::start({2, 48000}, options);
  ASSERT_TRUE(started.ok());
  CapturePipeline& pipeline = started.value();
  std::vector<float> packet = packet_template();
  auto next = std::chrono::steady_clock::now();
  for (; run.packets < packets; ++run.packets) {
    stamp_packet(packet, run.packets);
    pipeline.producer().push_samples(packet.data(), packet.size());
    if (pace.count() != 0) {
      next += pace;
      std::this_thread::sleep_until(next);
    }
  }
  if (pace.count() != 0) {
    std::this_thread::sleep_for(100ms);  // time for the last blocks
  }
  run.accepted = pipeline.counters().accepted_frames;
  run.dropped = pipeline.counters().dropped_frames;
  (void)pipeline.stop();
}

TEST(CaptureStress, WorkerAtFullSpeedWritesOnlyWholeOrderedBlocks) {
  PipelineRun run;
  run_pipeline(run, 1'000'000, 0us);
  EXPECT_EQ(run.accepted + run.dropped, run.packets * kPacketFrames);
  EXPECT_EQ(run.sink.bad_blocks, 0u);
  EXPECT_LE(run.sink.blocks * 2 * kPacketFrames, run.accepted);
}

TEST(CaptureStress, WorkerAtRealTimePaceWritesEveryFrame) {
  PipelineRun run;
  run_pipeline(run, 150, 10ms);  // 1.5 s
  EXPECT_EQ(run.accepted + run.dropped, run.packets * kPacketFrames);
  EXPECT_EQ(run.sink.bad_blocks, 0u);
  if (run.dropped == 0) {
    // Nothing lost: every packet, in whole blocks, from the first on.
    EXPECT_EQ(run.sink.blocks, run.packets / 2);
    EXPECT_EQ(run.sink.next_packet, run.packets);
  } else {
    // A machine too busy to keep up in real time; still nothing uncounted.
    EXPECT_LE(run.sink.blocks * 2 * kPacketFrames, run.accepted);
  }
}

// The worker sleeps whenever it has written what it can; the producer rings
// only when it has published what completes the worker's block. Bursts of
// one to four packets, each followed by a pause of random length (none, a
// spin, a yield or up to 200 us of sleep) once the worker has written every
// whole block: the next burst meets the worker anywhere on its way to
// sleep. A lost wake-up leaves it asleep for good (no diagnostics, nothing
// dropped: no time limit), and the wait for its blocks fails.
TEST(CaptureStress, BurstsWithRandomPausesNeverLoseAWakeUp) {
  constexpr std::uint64_t kBursts = 50'000;
  VerifyingSink sink;
  CaptureWorkerOptions options;
  options.pcm_output = OutputSink{&VerifyingSink::write, &sink};
  options.diagnostics = false;
  auto started = CapturePipeline::start({2, 48000}, options);
  ASSERT_TRUE(started.ok());
  CapturePipeline& pipeline = started.value();
  std::mt19937 random(20240612);
  std::vector<float> packet = packet_template();
  std::uint64_t packets = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (std::uint64_t burst = 0; burst < kBursts; ++burst) {
    for (std::uint64_t n = 1 + random() % 4; n > 0; --n) {
      stamp_packet(packet, packets++);
      pipeline.producer().push_samples(packet.data(), packet.size());
    }
    const std::uint64_t whole_blocks = packets / 2;
    // Spins, yielding now and then: the next burst must follow the last
    // block's write closely, while the worker is on its way to sleep.
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (std::uint64_t spins = 1; sink.blocks.load() < whole_blocks; ++spins) {
      if (spins % 1024 == 0) {
        if (std::chrono::steady_clock::now() > limit) {
          break;
        }
        std::this_thread::yield();
      }
    }
    ASSERT_EQ(sink.blocks.load(), whole_blocks) << "the worker slept through burst " << burst;
    switch (random() % 4) {
      case 0:
        break;
      case 1:
      case 2:
        for (std::atomic<int> spin(static_cast<int>(random() % 1000));
             spin.fetch_sub(1, std::memory_order_relaxed) > 0;) {
        }
        break;
      default:
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 200));
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(pipeline.counters().dropped_frames, 0u);
  EXPECT_TRUE(pipeline.stop().ok());
  EXPECT_EQ(sink.bad_blocks, 0u);
  EXPECT_EQ(sink.next_packet, packets / 2 * 2);
  std::printf("%llu bursts, %llu packets in %.2f s\n", static_cast<unsigned long long>(kBursts),
              static_cast<unsigned long long>(packets), seconds);
}

}  // namespace
}  // namespace vantle_audio
