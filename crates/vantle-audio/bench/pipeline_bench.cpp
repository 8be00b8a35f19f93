// Capture pipeline benchmarks. Prints Google Benchmark's own table, then one
// summary table of ratios, all measured in this run:
//   - push_samples of a 10 ms stereo packet (480 frames, 3840 bytes) against
//     a memcpy of the same bytes (the floor) and against the same chunked
//     copy through boost::lockfree::spsc_queue;
//   - convert_block_to_s16le_into in input samples per second against a
//     plain scalar loop, and whether both give the same bytes;
//   - the whole pipeline (producer, worker thread, standard output on
//     /dev/null) fed in real time: CPU time per second of audio, and the
//     latency from the push that completes a block to the end of that
//     block's write;
//   - the capture worker thread's wake-ups and CPU time per second of audio
//     (from /proc/self/task/TID) with no audio and with producers at 10 ms
//     and 5 ms packets, against a copy of the worker as it was before it
//     slept until there was work (it polled its queue every 2 ms), next to
//     the block rate (50 a second), the floor.
// Linux only (process and thread CPU clocks, /proc, /dev/null).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "capture_testing.h"
#include "pcm_output.h"
#include "pipeline_test_support.h"

namespace {

using namespace vantle_audio;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPacketFrames = 480;
constexpr std::size_t kPacketSamples = 2 * kPacketFrames;
constexpr std::size_t kBlockSamples = 1920;

std::vector<float> audio(std::size_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> value(-1.2f, 1.2f);  // some clamping
  std::vector<float> samples(count);
  for (float& sample : samples) {
    sample = value(random);
  }
  return samples;
}

// --- push_samples and its two references ----------------------------------

// The floor: the packet's bytes copied into one of 32 chunk-sized slots.
void BM_MemcpyFloor(benchmark::State& state) {
  const std::vector<float> packet = audio(kPacketSamples, 1);
  std::vector<FrameChunk> slots(kChunkRingCapacity);
  std::size_t slot = 0;
  for (auto _ : state) {
    std::memcpy(slots[slot].samples, packet.data(), kPacketSamples * sizeof(float));
    benchmark::ClobberMemory();
    slot = (slot + 1) % kChunkRingCapacity;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPacketSamples * 4));
}
BENCHMARK(BM_MemcpyFloor);

// The product's push; the consumer end takes each chunk off again (without
// looking at it) so that the queue never fills.
void BM_PushSamples(benchmark::State& state) {
  const std::vector<float> packet = audio(kPacketSamples, 1);
  testing::CaptureQueue queue = testing::CaptureQueue::create(2);
  for (auto _ : state) {
    queue.producer.push_samples(packet.data(), packet.size());
    while (queue.consumer.front() != nullptr) {
      queue.consumer.pop();
    }
    benchmark::ClobberMemory();
  }
  if (queue.producer.counters().dropped_frames != 0) {
    state.SkipWithError("frames were dropped");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPacketSamples * 4));
}
BENCHMARK(BM_PushSamples);

// The same chunking through Boost's single-producer queue, whose push copies
// a finished element in: each chunk is built first, then pushed.
void BM_BoostSpscQueue(benchmark::State& state) {
  using Queue = boost::lockfree::spsc_queue<FrameChunk, boost::lockfree::capacity<32>>;
  const std::vector<float> packet = audio(kPacketSamples, 1);
  auto queue = std::make_unique<Queue>();
  auto staging = std::make_unique<FrameChunk>();
  std::uint64_t next_position = 0;
  std::uint64_t dropped = 0;
  for (auto _ : state) {
    for (std::size_t offset = 0; offset < packet.size(); offset += kFrameChunkSamples) {
      const std::size_t piece = std::min(kFrameChunkSamples, packet.size() - offset);
      std::memcpy(staging->samples, packet.data() + offset, piece * sizeof(float));
      std::fill(staging->samples + piece, staging->samples + kFrameChunkSamples, 0.0f);
      staging->sample_count = piece;
      staging->position = next_position;
      next_position += piece / 2;
      dropped += queue->push(*staging) ? 0 : piece / 2;
    }
    queue->consume_all([](const FrameChunk&) {});
    benchmark::ClobberMemory();
  }
  if (dropped != 0) {
    state.SkipWithError("frames were dropped");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPacketSamples * 4));
}
BENCHMARK(BM_BoostSpscQueue);

// --- conversion ------------------------------------------------------------

// The conversion as a plain scalar loop, exactly as the stream defines it.
void scalar_convert(const float* samples, std::size_t count, std::size_t channels,
                    std::uint8_t* out) {
  for (std::size_t frame = 0; frame < count / channels; ++frame) {
    const auto bits = static_cast<std::uint16_t>(
        vantle_audio::testing::reference_sample(samples + frame * channels, channels));
    out[2 * frame] = static_cast<std::uint8_t>(bits & 0xFF);
    out[2 * frame + 1] = static_cast<std::uint8_t>(bits >> 8);
  }
}

void BM_ConvertBlockInto(benchmark::State& state) {
  const std::vector<float> block = audio(kBlockSamples, 2);
  std::vector<std::uint8_t> out(kBlockSamples);
  for (auto _ : state) {
    (void)convert_block_to_s16le_into(block.data(), block.size(), 2, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSamples));
}
BENCHMARK(BM_ConvertBlockInto);

void BM_ScalarLoop(benchmark::State& state) {
  const std::vector<float> block = audio(kBlockSamples, 2);
  std::vector<std::uint8_t> out(kBlockSamples);
  for (auto _ : state) {
    scalar_convert(block.data(), block.size(), 2, out.data());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSamples));
}
BENCHMARK(BM_ScalarLoop);

// Same bytes as the scalar loop for ordinary audio and for every special
// value, with channel counts that take and skip the wide path.
bool conversion_identical() {
  std::vector<float> samples = audio(1 << 16, 3);
  std::mt19937 random(4);
  for (std::size_t i = 0; i < samples.size(); i += 3) {
    std::uint32_t bits = static_cast<std::uint32_t>(random());
    std::memcpy(&samples[i], &bits, sizeof bits);  // NaNs, infinities, subnormals
  }
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            -0.0f,
                            0.0f,
                            1.0f,
                            -1.0f,
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max()};
  for (std::size_t i = 0; i < std::size(specials) * std::size(specials); ++i) {
    samples[2 * i] = specials[i % std::size(specials)];
    samples[2 * i + 1] = specials[i / std::size(specials)];
  }
  for (std::size_t channels = 1; channels <= 6; ++channels) {
    const std::size_t count = samples.size() / channels * channels;
    std::vector<std::uint8_t> ours(2 * count / channels);
    std::vector<std::uint8_t> plain(ours.size());
    if (!convert_block_to_s16le_into(samples.data(), count, channels, ours.data())) {
      return false;
    }
    scalar_convert(samples.data(), count, channels, plain.data());
    if (ours != plain) {
      return false;
    }
  }
  return true;
}

// --- the whole pipeline in real time ----------------------------------------

double cpu_seconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Standard output on /dev/null for as long as it lives.
class StdoutToDevNull {
 public:
  StdoutToDevNull() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  ~StdoutToDevNull() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_ = -1;
};

// The real standard-output sink, with the time each block's write ended and
// the worker thread's CPU clock at the first and the last block.
struct TimedOutput {
  std::vector<Clock::time_point> written;
  double worker_cpu_first = 0;
  double worker_cpu_last = 0;

  static vantle::WriteStatus write(void* context, const std::uint8_t* bytes, std::size_t size,
                                   vantle::WriteStop stop) {
    auto* self = static_cast<TimedOutput*>(context);
    vantle::WriteStatus status =
        OutputSink::standard(vantle::StandardStream::output).write(bytes, size, stop);
    self->written.push_back(Clock::now());
    const double cpu = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    if (self->written.size() == 1) {
      self->worker_cpu_first = cpu;
    }
    self->worker_cpu_last = cpu;
    return status;
  }
};

struct PipelineFigures {
  double pipeline_cpu_per_second = 0;  // the worker thread and the pushes
  double process_cpu_per_second = 0;   // also the thread that paces the packets
  double latency_median_ms = 0;
  double latency_p99_ms = 0;
  double latency_max_ms = 0;
  std::uint64_t dropped = 0;
  std::size_t blocks = 0;
};

PipelineFigures measure_pipeline(double audio_seconds) {
  PipelineFigures figures;
  StdoutToDevNull quiet;
  const auto packets = static_cast<std::size_t>(audio_seconds * 100);
  TimedOutput output;
  output.written.reserve(packets);
  std::vector<Clock::time_point> completed;  // the push that completed block k
  completed.reserve(packets);
  Clock::duration pushing{};
  const std::vector<float> packet = audio(kPacketSamples, 5);

  CaptureWorkerOptions options;
  options.diagnostics = false;
  options.pcm_output = OutputSink{&TimedOutput::write, &output};
  auto started = CapturePipeline::start({2, 48000}, options);
  CapturePipeline& pipeline = started.value();
  const double cpu_start = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  auto next = Clock::now();
  for (std::size_t n = 0; n < packets; ++n) {
    next += std::chrono::milliseconds(10);
    std::this_thread::sleep_until(next);
    const auto before = Clock::now();
    pipeline.producer().push_samples(packet.data(), packet.size());
    const auto after = Clock::now();
    pushing += after - before;
    if (n % 2 == 1) {
      completed.push_back(after);
    }
  }
  std::this_thread::sleep_until(next + std::chrono::milliseconds(10));
  const double cpu_end = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  figures.dropped = pipeline.counters().dropped_frames;
  (void)pipeline.stop();

  figures.process_cpu_per_second = (cpu_end - cpu_start) / audio_seconds;
  figures.blocks = output.written.size();
  if (figures.blocks > 1) {
    const double span =
        std::chrono::duration<double>(output.written.back() - output.written.front()).count();
    figures.pipeline_cpu_per_second =
        (output.worker_cpu_last - output.worker_cpu_first) / span +
        std::chrono::duration<double>(pushing).count() / audio_seconds;
  }
  std::vector<double> latencies;
  for (std::size_t k = 0; k < std::min(completed.size(), output.written.size()); ++k) {
    latencies.push_back(
        std::chrono::duration<double, std::milli>(output.written[k] - completed[k]).count());
  }
  if (!latencies.empty() && figures.dropped == 0) {
    std::sort(latencies.begin(), latencies.end());
    figures.latency_median_ms = latencies[latencies.size() / 2];
    figures.latency_p99_ms = latencies[latencies.size() * 99 / 100];
    figures.latency_max_ms = latencies.back();
  }
  return figures;
}

// --- the worker's wake-ups ---------------------------------------------------

// One thread's context switches (voluntary and not: each ends a run of the
// thread) and CPU time, from /proc/self/task/TID.
struct ThreadUsage {
  std::uint64_t switches = 0;
  double cpu_seconds = 0;
};

std::optional<std::uint64_t> status_field(const std::string& status, const std::string& name) {
  const std::size_t at = status.find(name + ":");
  if (at == std::string::npos) {
    return std::nullopt;
  }
  return std::strtoull(status.c_str() + at + name.size() + 1, nullptr, 10);
}

std::string read_text(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

ThreadUsage thread_usage(pid_t tid) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  const std::string status = read_text(task + "/status");
  ThreadUsage usage;
  usage.switches = status_field(status, "voluntary_ctxt_switches").value_or(0) +
                   status_field(status, "nonvoluntary_ctxt_switches").value_or(0);
  // schedstat: nanoseconds on the CPU first; else stat's utime and stime in
  // clock ticks (fields 14 and 15, counted after the command's ')').
  std::istringstream schedstat(read_text(task + "/schedstat"));
  unsigned long long run_ns = 0;
  if (schedstat >> run_ns) {
    usage.cpu_seconds = static_cast<double>(run_ns) * 1e-9;
  } else {
    const std::string stat = read_text(task + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    unsigned long long ticks = 0;
    for (int index = 3; index <= 15 && fields >> field; ++index) {
      if (index >= 14) {
        ticks += std::strtoull(field.c_str(), nullptr, 10);
      }
    }
    usage.cpu_seconds = static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return usage;
}

// The thread of this process with the given name, or -1.
pid_t thread_named(const std::string& name) {
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::string comm = read_text((task.path() / "comm").string());
    while (!comm.empty() && comm.back() == '\n') {
      comm.pop_back();
    }
    if (comm == name) {
      return static_cast<pid_t>(std::stol(task.path().filename().string()));
    }
  }
  return -1;
}

// The capture worker as it was before it slept until there was work, on
// the same queue, assembler and output: when the queue was empty it slept
// 2 ms and looked again (the statistics check, which finds nothing to
// report here, after every pass).
class PollingWorker {
 public:
  explicit PollingWorker(testing::CaptureQueue& queue)
      : queue_(queue), thread_([this] { run(); }) {}
  ~PollingWorker() {
    queue_.stop_running();
    thread_.join();
  }
  pid_t tid() const {
    while (tid_.load() == 0) {
      std::this_thread::yield();
    }
    return tid_.load();
  }

 private:
  void run() {
    tid_ = static_cast<pid_t>(::syscall(SYS_gettid));
    BlockAssembler assembler(2, 48000);
    const std::atomic<bool>& running = queue_.shared->running;
    std::atomic<bool> output_failed{false};
    const std::uint64_t last_dropped = 0;
    std::uint64_t reports_due = 0;
    while (running.load()) {
      if (const FrameChunk* slot = queue_.consumer.front()) {
        assembler.append(*slot);
        queue_.consumer.pop();
        assembler.write_blocks(running, output_failed);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      // Without diagnostics a line was due only after drops; none here.
      if (queue_.shared->counters.dropped_frames.load(std::memory_order_relaxed) != last_dropped) {
        ++reports_due;
      }
    }
    benchmark::DoNotOptimize(reports_due);
  }

  testing::CaptureQueue& queue_;
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
};

struct WakeUps {
  double per_second = 0;  // the worker's wake-ups per second of audio
  double cpu_ms = 0;      // its CPU time per second of audio, in ms
  std::uint64_t dropped = 0;
};

// Feeds `producer` packets of `packet_ms` (0: nothing at all) for `seconds`
// of real time and measures thread `tid` meanwhile.
WakeUps measure_wake_ups(CaptureProducer& producer, pid_t tid, int packet_ms, double seconds) {
  const std::vector<float> packet = audio(2 * 48 * static_cast<std::size_t>(packet_ms), 6);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // settled
  const ThreadUsage before = thread_usage(tid);
  const auto begin = Clock::now();
  const auto end =
      begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  if (packet_ms == 0) {
    std::this_thread::sleep_until(end);
  } else {
    for (auto next = begin + std::chrono::milliseconds(packet_ms); next <= end;
         next += std::chrono::milliseconds(packet_ms)) {
      std::this_thread::sleep_until(next);
      producer.push_samples(packet.data(), packet.size());
    }
  }
  const ThreadUsage after = thread_usage(tid);
  const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
  WakeUps figures;
  figures.per_second = static_cast<double>(after.switches - before.switches) / elapsed;
  figures.cpu_ms = (after.cpu_seconds - before.cpu_seconds) * 1000 / elapsed;
  figures.dropped = producer.counters().dropped_frames;
  return figures;
}

struct WakeUpRow {
  int packet_ms;   // 0: no audio
  WakeUps now;     // the worker that sleeps until there is work
  WakeUps before;  // the 2 ms polling worker
};

std::vector<WakeUpRow> measure_worker_wake_ups(double seconds) {
  StdoutToDevNull quiet;
  std::vector<WakeUpRow> rows;
  for (const int packet_ms : {0, 10, 5}) {
    WakeUpRow row;
    row.packet_ms = packet_ms;
    {
      CaptureWorkerOptions options;
      options.diagnostics = false;
      auto pipeline = CapturePipeline::start({2, 48000}, options);
      row.now = measure_wake_ups(pipeline.value().producer(), thread_named("vantle-capture"),
                                 packet_ms, seconds);
      (void)pipeline.value().stop();
    }
    {
      testing::CaptureQueue queue = testing::CaptureQueue::create(2);
      PollingWorker polling(queue);
      row.before = measure_wake_ups(queue.producer, polling.tid(), packet_ms, seconds);
    }
    rows.push_back(row);
  }
  return rows;
}

// Keeps Google Benchmark's console table and remembers each result: CPU
// time per iteration (the micro benchmarks are single-threaded, so CPU time
// leaves out the time a busy machine takes the core away) and items per
// second. With repetitions, the median is used.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  RecordingReporter() : ConsoleReporter(OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") {
        const std::string name = run.run_name.function_name;
        const bool median = run.run_type == Run::RT_Aggregate;
        if (median || nanoseconds_.count(name + "/median") == 0) {
          nanoseconds_[name] = run.GetAdjustedCPUTime();
          const auto items = run.counters.find("items_per_second");
          if (items != run.counters.end()) {
            items_per_second_[name] = items->second.value;
          }
          if (median) {
            nanoseconds_[name + "/median"] = 0;  // marks that the median is in
          }
        }
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double ns(const std::string& name) const { return find(nanoseconds_, name); }
  double items_per_second(const std::string& name) const { return find(items_per_second_, name); }

 private:
  static double find(const std::map<std::string, double>& values, const std::string& name) {
    const auto found = values.find(name);
    return found == values.end() ? std::nan("") : found->second;
  }
  std::map<std::string, double> nanoseconds_;
  std::map<std::string, double> items_per_second_;
};

void row(const char* measure, const std::string& value, const std::string& reference,
         const std::string& ratio, const char* target, bool met) {
  std::printf("%-40s %-18s %-30s %-9s %-28s %s\n", measure, value.c_str(), reference.c_str(),
              ratio.c_str(), target,
              *target == '\0' ? ""
              : met           ? "met"
                              : "NOT MET");
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  double audio_seconds = 10;
  // --pipeline-seconds=N shortens the real-time part (e.g. for a smoke run);
  // each of the six wake-up runs takes half of it.
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--pipeline-seconds=", 19) == 0) {
      audio_seconds = std::max(1.0, std::atof(argv[i] + 19));
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const bool identical = conversion_identical();
  std::printf("\nReal-time pipeline: %.0f s of 10 ms packets...\n", audio_seconds);
  std::fflush(stdout);
  const PipelineFigures pipeline = measure_pipeline(audio_seconds);
  std::printf(
      "The worker's wake-ups: %.0f s each with no audio, 10 ms and 5 ms packets, "
      "now and polling...\n",
      audio_seconds / 2);
  std::fflush(stdout);
  const std::vector<WakeUpRow> wake_ups = measure_worker_wake_ups(audio_seconds / 2);

  const double push = reporter.ns("BM_PushSamples");
  const double floor = reporter.ns("BM_MemcpyFloor");
  const double boost = reporter.ns("BM_BoostSpscQueue");
  const double convert_into = reporter.items_per_second("BM_ConvertBlockInto");
  const double scalar = reporter.items_per_second("BM_ScalarLoop");

  std::printf("\n%-40s %-18s %-30s %-9s %-28s %s\n", "measure", "value", "reference", "ratio",
              "target", "");
  row("push_samples, 480-frame stereo packet", format("%.1f ns", push),
      format("memcpy 3840 B: %.1f ns", floor), format("%.2fx", push / floor), "<= 1.5x the floor",
      push <= 1.5 * floor);
  row("push_samples vs boost spsc_queue", format("%.1f ns", push),
      format("boost spsc_queue: %.1f ns", boost), format("%.2fx", push / boost), "<= 1.0x boost",
      push <= boost);
  row("convert_block_to_s16le_into, 1920 samples", format("%.2f G samples/s", convert_into / 1e9),
      format("scalar loop: %.2f G/s", scalar / 1e9), format("%.2fx", convert_into / scalar),
      ">= 1 G samples/s", convert_into >= 1e9);
  row("  bytes identical to the scalar loop", identical ? "yes" : "NO", "", "", "identical",
      identical);
  row("pipeline CPU per second of audio",
      format("%.3f %% of a core", 100 * pipeline.pipeline_cpu_per_second), "", "",
      "<= 0.5 % of one core", pipeline.pipeline_cpu_per_second <= 0.005);
  row("  whole process, with the pacing thread",
      format("%.3f %% of a core", 100 * pipeline.process_cpu_per_second), "", "", "", true);
  char blocks[64];
  std::snprintf(blocks, sizeof blocks, "%zu blocks, %llu frames dropped", pipeline.blocks,
                static_cast<unsigned long long>(pipeline.dropped));
  row("block latency, median", format("%.3f ms", pipeline.latency_median_ms), blocks, "",
      "no frame dropped", pipeline.dropped == 0);
  row("block latency, p99", format("%.3f ms", pipeline.latency_p99_ms),
      format("max %.3f ms", pipeline.latency_max_ms), "", "<= 2.5 ms",
      pipeline.dropped == 0 && pipeline.latency_p99_ms <= 2.5);
  // The floor: one wake-up per 20 ms block. A producer wakes the worker at
  // most once per push.
  constexpr double kBlocksPerSecond = 50;
  for (const WakeUpRow& wake : wake_ups) {
    const std::string packets =
        wake.packet_ms == 0 ? std::string("no audio") : format("%.0f ms packets", wake.packet_ms);
    const double pushes = wake.packet_ms == 0 ? 0 : 1000.0 / wake.packet_ms;
    const std::string target =
        wake.packet_ms == 0 ? std::string("0 /s") : format("<= %.0f /s (pushes)", pushes);
    const double floor_rate = wake.packet_ms == 0 ? 0 : kBlocksPerSecond;
    row(("worker wake-ups, " + packets).c_str(), format("%.1f /s", wake.now.per_second),
        format("polling: %.1f /s", wake.before.per_second) +
            format(", blocks: %.0f /s", floor_rate),
        format("%.2fx", wake.now.per_second / wake.before.per_second), target.c_str(),
        wake.packet_ms == 0 ? wake.now.per_second < 1 : wake.now.per_second <= pushes);
    row(("worker CPU per s of audio, " + packets).c_str(), format("%.3f ms/s", wake.now.cpu_ms),
        format("polling: %.3f ms/s", wake.before.cpu_ms),
        format("%.2fx", wake.now.cpu_ms / wake.before.cpu_ms), "below polling",
        wake.now.cpu_ms < wake.before.cpu_ms && wake.now.dropped == 0 && wake.before.dropped == 0);
  }
  benchmark::Shutdown();
  return 0;
}
