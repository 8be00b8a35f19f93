#include "capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "capture_testing.h"
#include "pipeline_test_support.h"

#ifdef __linux__
#include <filesystem>
#endif

namespace vantle_audio {
namespace {

using namespace std::chrono_literals;
using testing::CaptureQueue;
using testing::eventually;
using testing::ManualClock;
using testing::PipelineAccess;
using testing::RecordingSink;
using testing::ScopedVariable;

std::vector<float> counting_samples(std::uint64_t count) {
  std::vector<float> samples(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    samples[i] = static_cast<float>(i + 1);
  }
  return samples;
}

std::vector<FrameChunk> take_all(ChunkRing::ConsumerEnd& consumer) {
  std::vector<FrameChunk> chunks;
  while (const FrameChunk* chunk = consumer.front()) {
    chunks.push_back(*chunk);
    consumer.pop();
  }
  return chunks;
}

TEST(PushSamples, CutsCountsAndStampsChunks) {
  struct Case {
    std::uint16_t channels;
    std::uint64_t samples;
    std::vector<std::uint64_t> chunk_samples;
    std::vector<std::uint64_t> positions;  // relative to the position before the call
    std::uint64_t accepted, dropped;
  };
  const Case cases[] = {
      {2, 2500, {1024, 1024, 452}, {0, 512, 1024}, 1250, 0},
      {2, 1921, {}, {}, 0, 960},  // not whole frames: nothing queued
      {2, 3, {}, {}, 0, 1},
      {2, 0, {}, {}, 0, 0},
      {3, 3000, {1023, 1023, 954}, {0, 341, 682}, 1000, 0},
      {1, 1025, {1024, 1}, {0, 1024}, 1025, 0},
      {1024, 2048, {1024, 1024}, {0, 1}, 2, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.channels) + " channels, " + std::to_string(c.samples));
    CaptureQueue queue = CaptureQueue::create(c.channels);
    // Start away from zero.
    const std::vector<float> lead(5u * c.channels, 0.5f);
    queue.producer.push_samples(lead.data(), lead.size());
    take_all(queue.consumer);
    const std::uint64_t start = queue.producer.next_position();
    ASSERT_EQ(start, 5u);

    const std::vector<float> samples = counting_samples(c.samples);
    queue.producer.push_samples(samples.data(), samples.size());

    const std::vector<FrameChunk> chunks = take_all(queue.consumer);
    ASSERT_EQ(chunks.size(), c.chunk_samples.size());
    std::uint64_t offset = 0;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
      EXPECT_EQ(chunks[i].sample_count, c.chunk_samples[i]);
      EXPECT_EQ(chunks[i].position, start + c.positions[i]);
      for (std::uint64_t s = 0; s < kFrameChunkSamples; ++s) {
        const float expected = s < chunks[i].sample_count ? samples[offset + s] : 0.0f;
        ASSERT_EQ(chunks[i].samples[s], expected) << "chunk " << i << " sample " << s;
      }
      offset += chunks[i].sample_count;
    }
    const CaptureCounters& counters = queue.producer.counters();
    EXPECT_EQ(counters.accepted_frames, 5 + c.accepted);
    EXPECT_EQ(counters.dropped_frames, c.dropped);
    EXPECT_EQ(queue.producer.next_position(), start + c.samples / c.channels);
  }
}

// Silence takes one slot however long it is: a run with its length and
// position, counted as accepted frames.
TEST(PushSilence, OneRunOfSilencePerPush) {
  const std::uint64_t lengths[] = {480, 1000, 48000 * 60, 0};
  CaptureQueue queue = CaptureQueue::create(2);
  for (const std::uint64_t frames : lengths) {
    SCOPED_TRACE(frames);
    const std::uint64_t start = queue.producer.next_position();
    const std::uint64_t accepted = queue.producer.counters().accepted_frames;
    queue.producer.push_silence(frames);
    const std::vector<FrameChunk> chunks = take_all(queue.consumer);
    ASSERT_EQ(chunks.size(), frames != 0 ? 1u : 0u);
    if (frames != 0) {
      EXPECT_EQ(chunks[0].sample_count, 0u);
      EXPECT_EQ(chunks[0].silent_frames, frames);
      EXPECT_EQ(chunks[0].position, start);
    }
    EXPECT_EQ(queue.producer.next_position(), start + frames);
    EXPECT_EQ(queue.producer.counters().accepted_frames, accepted + frames);
  }
}

TEST(PushSamples, FullQueueDropsAndCountsWithoutWaiting) {
  CaptureQueue queue = CaptureQueue::create(2);
  const std::vector<float> packet = counting_samples(1024);
  for (int i = 0; i < 33; ++i) {
    queue.producer.push_samples(packet.data(), packet.size());
  }
  EXPECT_EQ(queue.producer.counters().accepted_frames, 32u * 512);
  EXPECT_EQ(queue.producer.counters().dropped_frames, 512u);
  EXPECT_EQ(take_all(queue.consumer).size(), 32u);
  // The next chunk carries the position after the dropped one: a gap.
  queue.producer.push_samples(packet.data(), packet.size());
  const std::vector<FrameChunk> after = take_all(queue.consumer);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].position, 33u * 512);
}

TEST(PushSamples, DiscontinuityMovesThePositionByOneFrame) {
  CaptureQueue queue = CaptureQueue::create(2);
  const std::vector<float> packet = counting_samples(100);
  queue.producer.push_samples(packet.data(), packet.size());
  queue.producer.mark_discontinuity();
  queue.producer.push_samples(packet.data(), packet.size());
  const std::vector<FrameChunk> chunks = take_all(queue.consumer);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].position, 51u);
  EXPECT_EQ(queue.producer.counters().discontinuities, 1u);
  EXPECT_EQ(queue.producer.counters().accepted_frames, 100u);
}

TEST(PushSamples, CountedLossesLeaveThePositionAlone) {
  CaptureQueue queue = CaptureQueue::create(2);
  const std::vector<float> packet = counting_samples(100);
  queue.producer.push_samples(packet.data(), packet.size());
  queue.producer.count_losses(480, 2);
  queue.producer.count_losses(0, 1);
  queue.producer.push_samples(packet.data(), packet.size());
  const std::vector<FrameChunk> chunks = take_all(queue.consumer);
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[1].position, 50u) << "no gap: the worker keeps its partial block";
  EXPECT_EQ(queue.producer.counters().dropped_frames, 480u);
  EXPECT_EQ(queue.producer.counters().discontinuities, 3u);
  EXPECT_EQ(queue.producer.counters().accepted_frames, 100u);
}

TEST(PushSamples, NothingOnceStopped) {
  CaptureQueue queue = CaptureQueue::create(2);
  queue.stop_running();
  const std::vector<float> packet = counting_samples(1920);
  queue.producer.push_samples(packet.data(), packet.size());
  queue.producer.push_samples(packet.data(), 3);
  EXPECT_EQ(queue.consumer.front(), nullptr);
  EXPECT_EQ(queue.producer.counters().accepted_frames, 0u);
  EXPECT_EQ(queue.producer.counters().dropped_frames, 0u);
  EXPECT_EQ(queue.producer.next_position(), 0u);
}

TEST(StartCapturePipeline, ChecksTheFormat) {
  struct Case {
    std::uint16_t channels;
    std::uint32_t sample_rate;
    bool valid;
  };
  const Case cases[] = {{0, 48000, false},   {1025, 48000, false}, {2, 0, false},
                        {1024, 48000, true}, {1, 1, true},         {2, 48000, true}};
  for (const Case& c : cases) {
    auto pipeline = CapturePipeline::start({c.channels, c.sample_rate});
    ASSERT_EQ(pipeline.ok(), c.valid) << c.channels << " channels at " << c.sample_rate;
    if (!c.valid) {
      EXPECT_EQ(pipeline.error(), "invalid capture format or capacity");
      continue;
    }
    EXPECT_TRUE(pipeline.value().stop().ok());
    EXPECT_TRUE(pipeline.value().stop().ok()) << "a second stop is harmless";
  }
}

TEST(StartCapturePipeline, ThreadCreationFailureLeavesNothingBehind) {
  CaptureWorkerOptions options;
  // More stack than any address space can give.
  options.worker_stack_size = ~std::size_t{0} / 4 * 3 & ~std::size_t{0xFFFFF};
  auto pipeline = CapturePipeline::start({2, 48000}, options);
  ASSERT_FALSE(pipeline.ok());
  const std::string& message = pipeline.error();
  EXPECT_EQ(message.rfind("capture worker: ", 0), 0u) << message;
  EXPECT_NE(message.find(" (os error "), std::string::npos) << message;
  EXPECT_EQ(message.back(), ')') << message;
}

#ifdef __linux__
TEST(StartCapturePipeline, NamesTheThread) {
  auto pipeline = CapturePipeline::start({2, 48000});
  ASSERT_TRUE(pipeline.ok());
  int named = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    named += name == "vantle-capture" ? 1 : 0;
  }
  EXPECT_EQ(named, 1);
}
#endif

// Time for the worker to look at its work after being woken, with the clock
// standing (a line that comes too early would come within it).
void let_the_worker_run() {
  std::this_thread::sleep_for(30ms);
}

// A worker with recording sinks and a hand-moved clock.
struct WorkerFixture : ::testing::Test {
  RecordingSink pcm;
  RecordingSink statistics;
  ManualClock clock;
  std::optional<CapturePipeline> pipeline;

  void start(std::optional<bool> diagnostics = false) {
    CaptureWorkerOptions options;
    options.pcm_output = pcm.sink();
    options.statistics_output = statistics.sink();
    options.clock = clock.clock();
    options.diagnostics = diagnostics;
    auto started = CapturePipeline::start({2, 48000}, options);
    ASSERT_TRUE(started.ok()) << started.error();
    pipeline.emplace(std::move(started).value());
    ASSERT_TRUE(clock.wait_until_read());
  }
  void push(const std::vector<float>& samples) {
    pipeline->producer().push_samples(samples.data(), samples.size());
  }
  // Moves the clock; the worker sleeps by the real one, so it is woken to
  // look at the hand-moved one.
  void advance(std::chrono::milliseconds by) {
    clock.advance(by);
    PipelineAccess::wake_worker(*pipeline);
  }
  bool output_failed() const { return pipeline->output_failed().load(); }
  // What the stop reported; the pipeline stays for its flags and counters.
  vantle::Status stop() { return pipeline ? pipeline->stop() : vantle::Status::success(); }
  void TearDown() override { pipeline.reset(); }
};

TEST_F(WorkerFixture, GapFreeStreamComesOutWholeOnceAndInOrder) {
  start();
  constexpr std::uint64_t kPackets = 201;  // 100.5 blocks of 480-frame packets
  std::uint64_t frame = 0;
  for (std::uint64_t packet = 0; packet < kPackets; ++packet) {
    // Never more than ten blocks ahead of the output: nothing can be dropped.
    ASSERT_TRUE(eventually([&] { return frame / 960 < pcm.calls() + 10; }));
    std::vector<float> samples;
    testing::append_frames(samples, frame, 480);
    push(samples);
    frame += 480;
  }
  ASSERT_TRUE(eventually([&] { return pcm.calls() == 100; }));
  (void)stop();
  const std::vector<std::string> blocks = pcm.writes();
  ASSERT_EQ(blocks.size(), 100u);  // the last half block is never written
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_EQ(blocks[i].size(), 1920u);
    ASSERT_EQ(testing::locate_block(blocks[i]), 960u * i) << "block " << i;
  }
  EXPECT_FALSE(output_failed());
}

// Time without audio (a host that stalled) comes out as that many frames of
// silence in whole blocks, however long, and the audio after it in its
// place: one queue slot for the run, nothing dropped.
TEST_F(WorkerFixture, ALongRunOfSilenceComesOutWholeInItsPlace) {
  start();
  std::vector<float> before;
  testing::append_frames(before, 0, 960);
  push(before);
  pipeline->producer().push_silence(960 * 100);
  std::vector<float> after;
  testing::append_frames(after, 960 * 101, 960);
  push(after);
  ASSERT_TRUE(eventually([&] { return pcm.calls() == 102; }));
  (void)stop();
  const std::vector<std::string> blocks = pcm.writes();
  ASSERT_EQ(blocks.size(), 102u);
  EXPECT_EQ(testing::locate_block(blocks[0]), 0u);
  for (std::size_t i = 1; i <= 100; ++i) {
    ASSERT_EQ(blocks[i], std::string(1920, '\0')) << "block " << i;
  }
  EXPECT_EQ(testing::locate_block(blocks[101]), 960u * 101);
  EXPECT_EQ(pipeline->counters().dropped_frames, 0u);
  EXPECT_EQ(pipeline->counters().accepted_frames, 960u * 102);
}

// The first block's write is held until the stop has cleared `running`; the
// chunks queued meanwhile are never converted or written.
TEST_F(WorkerFixture, ChunksQueuedAtStopAreNeverWritten) {
  struct HeldSink {
    std::atomic<const std::atomic<bool>*> running{nullptr};
    std::atomic<int> calls{0};
    static vantle::WriteStatus write(void* context, const std::uint8_t*, std::size_t,
                                     vantle::WriteStop) {
      auto* self = static_cast<HeldSink*>(context);
      ++self->calls;
      while (self->running.load()->load()) {
        std::this_thread::sleep_for(1ms);
      }
      return vantle::WriteStatus::written();
    }
  } held;
  CaptureWorkerOptions options;
  options.pcm_output = OutputSink{&HeldSink::write, &held};
  options.diagnostics = false;
  auto started = CapturePipeline::start({2, 48000}, options);
  ASSERT_TRUE(started.ok());
  CapturePipeline& capture = started.value();
  held.running = &PipelineAccess::running(capture);

  std::vector<float> samples;
  testing::append_frames(samples, 0, 960 * 11);
  capture.producer().push_samples(samples.data(), 1920);
  ASSERT_TRUE(eventually([&] { return held.calls == 1; }));
  capture.producer().push_samples(samples.data() + 1920, samples.size() - 1920);
  EXPECT_TRUE(capture.stop().ok());
  EXPECT_EQ(held.calls, 1);
}

// A failed write ends the output either way; the stop tells the run whether
// that was the reader going away (a normal end) or an error to report.
struct FailedWriteFixture : WorkerFixture {
  vantle::Status capture_until_the_second_write_fails(bool reader_gone) {
    pcm.fail_from_write(1, reader_gone);
    start();
    std::vector<float> samples;
    testing::append_frames(samples, 0, 960 * 10);
    push(std::vector<float>(samples.begin(), samples.begin() + 5 * 1920));
    EXPECT_TRUE(eventually([&] { return output_failed(); }));
    push(std::vector<float>(samples.begin() + 5 * 1920, samples.end()));
    std::this_thread::sleep_for(30ms);
    vantle::Status stopped = stop();
    EXPECT_EQ(pcm.calls(), 2u);  // one written, one failed, then nothing
    EXPECT_EQ(pcm.writes().size(), 1u);
    EXPECT_TRUE(statistics.writes().empty());  // the failure itself prints nothing
    return stopped;
  }
};

TEST_F(FailedWriteFixture, AnErrorIsReportedByTheStop) {
  const vantle::Status stopped = capture_until_the_second_write_fails(false);
  ASSERT_FALSE(stopped.ok());
  EXPECT_EQ(stopped.error(), "disk full");
}

TEST_F(FailedWriteFixture, TheReaderGoingAwayIsANormalEnd) {
  EXPECT_TRUE(capture_until_the_second_write_fails(true).ok());
}

TEST_F(WorkerFixture, PipelineDestroyedWithoutStopStopsAndJoins) {
  start();
  push(std::vector<float>(1920, 0.25f));
  pipeline.reset();
  const std::size_t calls = pcm.calls();
  let_the_worker_run();
  EXPECT_EQ(pcm.calls(), calls) << "no worker writes after the pipeline is gone";
}

std::string line(std::uint64_t accepted, std::uint64_t dropped, std::uint64_t discontinuities) {
  return "VANTLE_CAPTURE rate=48000 channels=2 accepted_frames=" + std::to_string(accepted) +
         " dropped_frames=" + std::to_string(dropped) +
         " discontinuities=" + std::to_string(discontinuities) + "\n";
}

// Without diagnostics a line only follows drops, at most once a second, and
// drops in the first second are reported as soon as it has passed.
TEST_F(WorkerFixture, WithoutDiagnosticsOnlyDropsAreReported) {
  start(false);
  push(std::vector<float>(1000, 0.1f));
  push(std::vector<float>(1921, 0.1f));  // 960 frames dropped
  advance(900ms);
  let_the_worker_run();
  EXPECT_TRUE(statistics.writes().empty());
  advance(100ms);
  ASSERT_TRUE(eventually([&] { return statistics.calls() == 1; }));
  EXPECT_EQ(statistics.writes()[0], line(500, 960, 0));

  advance(5000ms);
  let_the_worker_run();
  EXPECT_EQ(statistics.calls(), 1u);  // nothing new dropped

  pipeline->producer().mark_discontinuity();
  push(std::vector<float>(3, 0.1f));
  ASSERT_TRUE(eventually([&] { return statistics.calls() == 2; }));
  EXPECT_EQ(statistics.writes()[1], line(500, 961, 1));
}

TEST_F(WorkerFixture, WithDiagnosticsALineEverySecond) {
  start(true);
  push(std::vector<float>(4000, 0.1f));
  pipeline->producer().mark_discontinuity();
  advance(999ms);
  let_the_worker_run();
  EXPECT_TRUE(statistics.writes().empty());
  advance(1ms);
  ASSERT_TRUE(eventually([&] { return statistics.calls() == 1; }));
  advance(700ms);
  let_the_worker_run();
  EXPECT_EQ(statistics.calls(), 1u);
  advance(300ms);
  ASSERT_TRUE(eventually([&] { return statistics.calls() == 2; }));
  EXPECT_EQ(statistics.writes(), std::vector<std::string>(2, line(2000, 0, 1)));
}

TEST_F(WorkerFixture, DiagnosticsFollowTheVariablesPresence) {
#ifdef _WIN32
  // The C runtime cannot hold an empty value; any value means present.
  const char* values[] = {"0"};
#else
  const char* values[] = {"", "0"};
#endif
  std::size_t lines = 0;
  for (const char* value : values) {
    {
      ScopedVariable variable("VANTLE_AUDIO_DIAGNOSTICS", value);
      start(std::nullopt);  // read once, here
    }
    advance(1000ms);
    ++lines;
    ASSERT_TRUE(eventually([&] { return statistics.calls() == lines; })) << "'" << value << "'";
    pipeline.reset();
  }
  start(std::nullopt);  // unset
  advance(3000ms);
  let_the_worker_run();
  EXPECT_EQ(statistics.calls(), lines);
}

// The worker sleeps while no audio arrives; its statistics line must still
// come on the real clock: every second with diagnostics, and for frames the
// host counted as lost while it slept.
TEST(IdleWorker, StatisticsLineWhileNoAudioArrives) {
  const struct {
    bool diagnostics;
    std::uint64_t dropped, discontinuities;  // counted while the worker sleeps
    std::size_t lines;                       // at least this many come
    std::string line;
  } cases[] = {
      {true, 0, 0, 2, line(0, 0, 0)},
      {false, 480, 1, 1, line(0, 480, 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.diagnostics ? "with diagnostics" : "without diagnostics");
    RecordingSink statistics;
    CaptureWorkerOptions options;
    options.statistics_output = statistics.sink();
    options.diagnostics = c.diagnostics;
    auto pipeline = CapturePipeline::start({2, 48000}, options);
    ASSERT_TRUE(pipeline.ok());
    let_the_worker_run();  // asleep by now, on a machine that is not too busy
    if (c.dropped != 0) {
      pipeline.value().producer().count_losses(c.dropped, c.discontinuities);
    }
    ASSERT_TRUE(eventually([&] { return statistics.calls() >= c.lines; }));
    EXPECT_TRUE(pipeline.value().stop().ok());
    for (const std::string& written : statistics.writes()) {
      EXPECT_EQ(written, c.line);
    }
  }
}

// A worker asleep with no time limit (no diagnostics, nothing dropped) must
// see the stop at once: the stop returns.
TEST(IdleWorker, StopWhileTheWorkerWaits) {
  RecordingSink pcm;
  CaptureWorkerOptions options;
  options.pcm_output = pcm.sink();
  options.diagnostics = false;
  auto pipeline = CapturePipeline::start({2, 48000}, options);
  ASSERT_TRUE(pipeline.ok());
  // Half a block: the worker takes it and sleeps until the rest comes.
  const std::vector<float> half(960, 0.25f);
  pipeline.value().producer().push_samples(half.data(), half.size());
  let_the_worker_run();
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    EXPECT_TRUE(pipeline.value().stop().ok());
    stopped = true;
  });
  EXPECT_TRUE(eventually([&] { return stopped.load(); })) << "the worker slept through the stop";
  PipelineAccess::wake_worker(pipeline.value());  // a stop that hangs ends now, and the test
  stopper.join();
  EXPECT_EQ(pcm.calls(), 0u);
  EXPECT_FALSE(pipeline.value().output_failed());
}

}  // namespace
}  // namespace vantle_audio
