#include "capture.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace vantle_audio {
namespace {

constexpr const char* kInvalidFormat = "invalid capture format or capacity";
constexpr const char* kDiagnosticsVariable = "VANTLE_AUDIO_DIAGNOSTICS";
constexpr std::uint16_t kMaxChannels = 1024;
constexpr auto kIdleSleep = std::chrono::milliseconds(2);
constexpr std::uint64_t kReportIntervalNs = 1'000'000'000;

std::uint64_t steady_now_ns(void*) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

// Present means on, whatever the value, the empty value included.
bool diagnostics_variable_present() {
#ifdef _MSC_VER
  char* value = nullptr;
  std::size_t size = 0;
  if (_dupenv_s(&value, &size, kDiagnosticsVariable) != 0) {
    return false;
  }
  const bool present = value != nullptr;
  std::free(value);
  return present;
#else
  return std::getenv(kDiagnosticsVariable) != nullptr;
#endif
}

class CaptureWorkerBody final : public ThreadBody {
 public:
  CaptureWorkerBody(ChunkRing::ConsumerEnd ring, std::shared_ptr<CaptureShared> shared,
                    std::shared_ptr<std::atomic<bool>> output_failed, std::uint16_t channels,
                    std::uint32_t sample_rate, bool diagnostics,
                    const CaptureWorkerOptions& options)
      : ring_(std::move(ring)),
        shared_(std::move(shared)),
        output_failed_(std::move(output_failed)),
        channels_(channels),
        sample_rate_(sample_rate),
        diagnostics_(diagnostics),
        pcm_output_(options.pcm_output),
        statistics_output_(options.statistics_output),
        clock_(options.clock) {}

  // Leaving run() releases the consumer end (queued chunks are discarded
  // unprocessed), the pending samples and the shares, with this object.
  void run() override {
    BlockAssembler assembler(channels_, sample_rate_, pcm_output_);
    PollSleeper sleeper;
    const std::atomic<bool>& running = shared_->running;
    last_report_ns_ = clock_.now_ns();
    while (running.load()) {
      if (const FrameChunk* slot = ring_.front()) {
        // The slot goes back to the producer once its samples are pending,
        // before the blocks are converted and written.
        assembler.append(*slot);
        ring_.pop();
        assembler.write_blocks(running, *output_failed_);
      } else {
        sleeper.sleep(kIdleSleep);
      }
      report_if_due();
    }
    shared_->output_error = assembler.output_error();
  }

 private:
  // Periodic with diagnostics on; otherwise only when frames were dropped
  // since the last line. Never more than once a second.
  void report_if_due() {
    const CaptureCounters& counters = shared_->counters;
    const std::uint64_t dropped = counters.dropped_frames.load(std::memory_order_relaxed);
    if (!diagnostics_ && dropped == last_dropped_) {
      return;
    }
    const std::uint64_t now = clock_.now_ns();
    if (now - last_report_ns_ < kReportIntervalNs) {
      return;
    }
    // Each counter is read on its own, at the time of writing.
    const std::string line = "VANTLE_CAPTURE rate=" + std::to_string(sample_rate_) +
                             " channels=" + std::to_string(channels_) +
                             " accepted_frames=" + std::to_string(counters.accepted_frames.load()) +
                             " dropped_frames=" + std::to_string(counters.dropped_frames.load()) +
                             " discontinuities=" + std::to_string(counters.discontinuities.load()) +
                             "\n";
    // A statistics line that cannot be written is lost; capture goes on, as
    // the line is only a diagnostic.
    (void)statistics_output_.write(reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    last_report_ns_ = now;
    last_dropped_ = dropped;
  }

  ChunkRing::ConsumerEnd ring_;
  std::shared_ptr<CaptureShared> shared_;
  std::shared_ptr<std::atomic<bool>> output_failed_;
  std::uint16_t channels_;
  std::uint32_t sample_rate_;
  bool diagnostics_;
  OutputSink pcm_output_;
  OutputSink statistics_output_;
  MonotonicClock clock_;
  std::uint64_t last_report_ns_ = 0;
  std::uint64_t last_dropped_ = 0;
};

}  // namespace

MonotonicClock MonotonicClock::steady() {
  return MonotonicClock{&steady_now_ns, nullptr};
}

CaptureProducer::CaptureProducer(ChunkRing::ProducerEnd ring, std::shared_ptr<CaptureShared> shared,
                                 std::uint16_t channels)
    : ring_(std::move(ring)),
      shared_(std::move(shared)),
      channels_(channels),
      chunk_samples_(kFrameChunkSamples - kFrameChunkSamples % channels) {}

template <class FillSlot>
void CaptureProducer::push_chunks(std::uint64_t sample_count, FillSlot fill_slot) {
  if (!shared_->running.load()) {
    return;
  }
  CaptureCounters& counters = shared_->counters;
  if (sample_count % channels_ != 0) {
    const std::uint64_t frames = sample_count / channels_;
    counters.dropped_frames.fetch_add(frames, std::memory_order_relaxed);
    next_position_ += frames;
    return;
  }
  std::uint64_t accepted = 0;
  std::uint64_t offset = 0;
  while (offset < sample_count) {
    const std::uint64_t piece = std::min(chunk_samples_, sample_count - offset);
    const std::uint64_t frames = piece / channels_;
    const std::uint64_t position = next_position_;
    next_position_ += frames;  // whether or not the chunk gets in
    if (FrameChunk* slot = ring_.try_reserve()) {
      fill_slot(slot->samples, offset, piece);
      slot->sample_count = piece;
      slot->position = position;
      ring_.publish();
      accepted += frames;
    } else {
      counters.dropped_frames.fetch_add(frames, std::memory_order_relaxed);
    }
    offset += piece;
  }
  if (accepted != 0) {
    counters.accepted_frames.fetch_add(accepted, std::memory_order_relaxed);
  }
}

void CaptureProducer::push_samples(const float* samples, std::uint64_t sample_count) {
  push_chunks(sample_count, [samples](float* slot, std::uint64_t offset, std::uint64_t piece) {
    std::memcpy(slot, samples + offset, piece * sizeof(float));
    std::fill(slot + piece, slot + kFrameChunkSamples, 0.0f);
  });
}

void CaptureProducer::push_silence(std::uint64_t frames) {
  push_chunks(frames * channels_, [](float* slot, std::uint64_t, std::uint64_t) {
    std::fill(slot, slot + kFrameChunkSamples, 0.0f);
  });
}

void CaptureProducer::mark_discontinuity() {
  next_position_ += 1;
  shared_->counters.discontinuities.fetch_add(1, std::memory_order_relaxed);
}

void CaptureProducer::count_losses(std::uint64_t dropped_frames, std::uint64_t discontinuities) {
  CaptureCounters& counters = shared_->counters;
  if (dropped_frames != 0) {
    counters.dropped_frames.fetch_add(dropped_frames, std::memory_order_relaxed);
  }
  if (discontinuities != 0) {
    counters.discontinuities.fetch_add(discontinuities, std::memory_order_relaxed);
  }
}

CaptureQueue CaptureQueue::create(std::uint16_t channels) {
  assert(channels != 0);
  ChunkRing::Ends ends = ChunkRing::create();
  auto shared = std::make_shared<CaptureShared>();
  return CaptureQueue{CaptureProducer(std::move(ends.producer), shared, channels),
                      std::move(ends.consumer), shared};
}

CaptureWorkerHandle& CaptureWorkerHandle::operator=(CaptureWorkerHandle&& other) noexcept {
  if (this != &other) {
    (void)stop();
    shared_ = std::move(other.shared_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

vantle::Status CaptureWorkerHandle::stop() {
  if (shared_ == nullptr) {
    return vantle::Status::success();
  }
  shared_->running.store(false);
  thread_.join();
  return shared_->output_error;
}

vantle::Result<CaptureWorker> start_capture_worker(std::uint16_t channels,
                                                   std::uint32_t sample_rate,
                                                   std::shared_ptr<std::atomic<bool>> output_failed,
                                                   const CaptureWorkerOptions& options) {
  if (channels == 0 || channels > kMaxChannels || sample_rate == 0 || kChunkRingCapacity == 0) {
    return vantle::make_error(kInvalidFormat);
  }
  if (output_failed == nullptr) {
    output_failed = std::make_shared<std::atomic<bool>>(false);
  }
  CaptureQueue queue = CaptureQueue::create(channels);
  const bool diagnostics =
      options.diagnostics.has_value() ? *options.diagnostics : diagnostics_variable_present();
  auto body = std::make_unique<CaptureWorkerBody>(std::move(queue.consumer), queue.shared,
                                                  std::move(output_failed), channels, sample_rate,
                                                  diagnostics, options);
  // On failure the body, and with it the consumer end and its shares, is
  // already gone; the producer end and the rest go with `queue`.
  vantle::Result<WorkerThread> thread =
      WorkerThread::start("vantle-capture", std::move(body), options.worker_stack_size);
  if (!thread) {
    return vantle::make_error("capture worker: " + thread.error());
  }
  CaptureWorkerHandle handle;
  handle.shared_ = std::move(queue.shared);
  handle.thread_ = std::move(thread).value();
  return CaptureWorker{std::move(queue.producer), std::move(handle)};
}

vantle::Result<CaptureWorker> start_capture_worker(
    std::uint16_t channels, std::uint32_t sample_rate,
    std::shared_ptr<std::atomic<bool>> output_failed) {
  return start_capture_worker(channels, sample_rate, std::move(output_failed),
                              CaptureWorkerOptions{});
}

vantle::Result<CapturePipeline> CapturePipeline::start(CaptureFormat format,
                                                       const CaptureWorkerOptions& options) {
  auto state = std::make_unique<State>();
  state->output_failed = std::make_shared<std::atomic<bool>>(false);
  auto worker =
      start_capture_worker(format.channels, format.sample_rate, state->output_failed, options);
  if (!worker) {
    return std::move(worker).take_error();
  }
  state->producer.emplace(std::move(worker.value().producer));
  state->handle.emplace(std::move(worker.value().handle));
  return CapturePipeline(std::move(state));
}

CapturePipeline::~CapturePipeline() {
  if (state_ && state_->handle) {
    (void)stop_capture_worker(std::move(*state_->handle));
  }
}

vantle::Status CapturePipeline::stop() {
  state_->producer.reset();
  vantle::Status output;
  if (state_->handle) {
    output = stop_capture_worker(std::move(*state_->handle));
    state_->handle.reset();
  }
  return output;
}

vantle::Status stop_capture_worker(CaptureWorkerHandle handle) {
  return handle.stop();
}

}  // namespace vantle_audio
