#include "capture.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "capture_shared.h"

namespace vantle_audio {
namespace {

constexpr const char* kInvalidFormat = "invalid capture format or capacity";
constexpr const char* kDiagnosticsVariable = "VANTLE_AUDIO_DIAGNOSTICS";
constexpr std::uint16_t kMaxChannels = 1024;
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

using detail::CaptureShared;
using detail::kNotWaiting;

class CaptureWorkerBody final : public ThreadBody {
 public:
  CaptureWorkerBody(ChunkRing::ConsumerEnd ring, std::shared_ptr<CaptureShared> shared,
                    std::uint16_t channels, std::uint32_t sample_rate, bool diagnostics,
                    const CaptureWorkerOptions& options)
      : ring_(std::move(ring)),
        shared_(std::move(shared)),
        channels_(channels),
        sample_rate_(sample_rate),
        diagnostics_(diagnostics),
        pcm_output_(options.pcm_output),
        statistics_output_(options.statistics_output),
        clock_(options.clock) {}

  // Leaving run() releases the consumer end (queued chunks are discarded
  // unprocessed), the pending samples and the shares, with this object.
  void run() override {
    BlockAssembler assembler(channels_, sample_rate_, pcm_output_, shared_->doorbell.write_stop());
    const std::atomic<bool>& running = shared_->running;
    last_report_ns_ = clock_.now_ns();
    while (running.load()) {
      if (const FrameChunk* slot = ring_.front()) {
        // The slot goes back to the producer once its samples are pending
        // (or a run of silence has been read), before the blocks are
        // converted and written.
        if (slot->silent_frames != 0) {
          const std::uint64_t position = slot->position;
          const std::uint64_t frames = slot->silent_frames;
          ring_.pop();
          assembler.append_silence(position, frames, running, shared_->output_failed);
        } else {
          assembler.append(*slot);
          ring_.pop();
          assembler.write_blocks(running, shared_->output_failed);
        }
        share_output_error(assembler);
        report_if_due();
        continue;
      }
      report_if_due();
      sleep_until_work(assembler);
    }
  }

 private:
  // The queue is drained: sleeps until the producer has published what
  // completes the pending block, the stop, or the next statistics line
  // (capture_shared.h has the steps and why no wake-up is lost).
  void sleep_until_work(const BlockAssembler& assembler) {
    const std::atomic<std::uint64_t>& dropped_frames = shared_->counters.dropped_frames;
    const std::uint64_t dropped = dropped_frames.load();
    const std::optional<std::chrono::nanoseconds> until_report = time_until_report(dropped);
    shared_->wake_position.store(assembler.completing_position());  // W1
    if (ring_.front() == nullptr && shared_->running.load() &&
        dropped_frames.load() == dropped) {        // W2
      (void)shared_->doorbell.wait(until_report);  // W3
    }
    shared_->wake_position.store(kNotWaiting);
  }

  // The time left until the statistics line is due, if one will be: with
  // diagnostics always, otherwise once frames were dropped since the last.
  std::optional<std::chrono::nanoseconds> time_until_report(std::uint64_t dropped) const {
    if (!diagnostics_ && dropped == last_dropped_) {
      return std::nullopt;
    }
    const std::uint64_t elapsed = clock_.now_ns() - last_report_ns_;
    return std::chrono::nanoseconds(elapsed >= kReportIntervalNs ? 0 : kReportIntervalNs - elapsed);
  }

  // Hands a failure that ended the output to the stop as soon as it happens,
  // so that it is known even when the worker is let go.
  void share_output_error(const BlockAssembler& assembler) {
    if (!output_error_shared_ && !assembler.output_error().ok()) {
      shared_->output_error = assembler.output_error();
      shared_->output_error_set.store(true, std::memory_order_release);
      output_error_shared_ = true;
    }
  }

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
    // the line is only a diagnostic. A reader that stalls cannot hold the
    // stop here either: the write ends at the stop.
    (void)statistics_output_.write(reinterpret_cast<const std::uint8_t*>(line.data()), line.size(),
                                   shared_->doorbell.write_stop());
    last_report_ns_ = now;
    last_dropped_ = dropped;
  }

  ChunkRing::ConsumerEnd ring_;
  std::shared_ptr<CaptureShared> shared_;
  std::uint16_t channels_;
  std::uint32_t sample_rate_;
  bool diagnostics_;
  OutputSink pcm_output_;
  OutputSink statistics_output_;
  MonotonicClock clock_;
  std::uint64_t last_report_ns_ = 0;
  std::uint64_t last_dropped_ = 0;
  bool output_error_shared_ = false;
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

const CaptureCounters& CaptureProducer::counters() const {
  return shared_->counters;
}

template <class FillSlot>
void CaptureProducer::push_chunks(std::uint64_t sample_count, FillSlot fill_slot) {
  if (!shared_->running.load()) {
    return;
  }
  CaptureCounters& counters = shared_->counters;
  if (sample_count % channels_ != 0) {
    const std::uint64_t frames = sample_count / channels_;
    counters.dropped_frames.fetch_add(frames);  // P1
    next_position_ += frames;
    if (frames != 0) {
      wake_worker_if_due(true);
    }
    return;
  }
  std::uint64_t accepted = 0;
  std::uint64_t dropped = 0;
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
      slot->silent_frames = 0;
      ring_.publish();  // P1
      accepted += frames;
    } else {
      counters.dropped_frames.fetch_add(frames);  // P1
      dropped += frames;
    }
    offset += piece;
  }
  if (accepted != 0) {
    counters.accepted_frames.fetch_add(accepted, std::memory_order_relaxed);
  }
  if (sample_count != 0) {
    wake_worker_if_due(dropped != 0);
  }
}

void CaptureProducer::wake_worker_if_due(bool dropped) {
  std::atomic<std::uint64_t>& wake_position = shared_->wake_position;
  const std::uint64_t waits_for = wake_position.load();  // P2
  if (waits_for == kNotWaiting) {
    return;
  }
  if (!dropped && next_position_ < waits_for && ring_.queued() < detail::kWakeQueuedChunks) {
    return;
  }
  if (wake_position.exchange(kNotWaiting) != kNotWaiting) {  // P3
    shared_->doorbell.ring();
  }
}

void CaptureProducer::push_samples(const float* samples, std::uint64_t sample_count) {
  push_chunks(sample_count, [samples](float* slot, std::uint64_t offset, std::uint64_t piece) {
    std::memcpy(slot, samples + offset, piece * sizeof(float));
    std::fill(slot + piece, slot + kFrameChunkSamples, 0.0f);
  });
}

void CaptureProducer::push_silence(std::uint64_t frames) {
  if (frames == 0 || !shared_->running.load()) {
    return;
  }
  CaptureCounters& counters = shared_->counters;
  const std::uint64_t position = next_position_;
  next_position_ += frames;  // whether or not the run gets in
  FrameChunk* slot = ring_.try_reserve();
  if (slot != nullptr) {
    slot->sample_count = 0;
    slot->position = position;
    slot->silent_frames = frames;
    ring_.publish();  // P1
    counters.accepted_frames.fetch_add(frames, std::memory_order_relaxed);
  } else {
    counters.dropped_frames.fetch_add(frames);  // P1
  }
  wake_worker_if_due(slot == nullptr);
}

void CaptureProducer::mark_discontinuity() {
  next_position_ += 1;
  shared_->counters.discontinuities.fetch_add(1, std::memory_order_relaxed);
}

void CaptureProducer::count_losses(std::uint64_t dropped_frames, std::uint64_t discontinuities) {
  CaptureCounters& counters = shared_->counters;
  if (discontinuities != 0) {
    counters.discontinuities.fetch_add(discontinuities, std::memory_order_relaxed);
  }
  if (dropped_frames != 0) {
    counters.dropped_frames.fetch_add(dropped_frames);  // P1
    wake_worker_if_due(true);
  }
}

vantle::Result<CapturePipeline> CapturePipeline::start(CaptureFormat format,
                                                       const CaptureWorkerOptions& options) {
  if (format.channels == 0 || format.channels > kMaxChannels || format.sample_rate == 0) {
    return vantle::make_error(kInvalidFormat);
  }
  vantle::Result<Doorbell> doorbell = Doorbell::create();
  if (!doorbell) {
    return vantle::make_error("capture worker: " + doorbell.error());
  }
  ChunkRing::Ends ends = ChunkRing::create();
  auto shared = std::make_shared<CaptureShared>(std::move(doorbell).value());
  std::unique_ptr<CaptureProducer> producer(
      new CaptureProducer(std::move(ends.producer), shared, format.channels));
  const bool diagnostics =
      options.diagnostics.has_value() ? *options.diagnostics : diagnostics_variable_present();
  auto body = std::make_unique<CaptureWorkerBody>(std::move(ends.consumer), shared, format.channels,
                                                  format.sample_rate, diagnostics, options);
  // On failure the body, and with it the consumer end and its share, is
  // already gone; the producer and the rest go with the locals.
  vantle::Result<WorkerThread> thread =
      WorkerThread::start("vantle-capture", std::move(body), options.worker_stack_size);
  if (!thread) {
    return vantle::make_error("capture worker: " + thread.error());
  }
  return CapturePipeline(std::move(producer), std::move(shared), std::move(thread).value());
}

CapturePipeline::CapturePipeline(std::unique_ptr<CaptureProducer> producer,
                                 std::shared_ptr<CaptureShared> shared, WorkerThread thread)
    : producer_(std::move(producer)), shared_(std::move(shared)), thread_(std::move(thread)) {}

CapturePipeline::CapturePipeline(CapturePipeline&& other) noexcept
    : producer_(std::move(other.producer_)),
      shared_(std::move(other.shared_)),
      thread_(std::move(other.thread_)) {}

CapturePipeline& CapturePipeline::operator=(CapturePipeline&& other) noexcept {
  if (this != &other) {
    (void)stop();
    producer_ = std::move(other.producer_);
    shared_ = std::move(other.shared_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

CapturePipeline::~CapturePipeline() {
  stop_worker();
  producer_.reset();
}

const std::atomic<bool>& CapturePipeline::output_failed() const {
  return shared_->output_failed;
}

const CaptureCounters& CapturePipeline::counters() const {
  return shared_->counters;
}

void CapturePipeline::stop_worker() {
  if (shared_ == nullptr) {
    return;  // moved from
  }
  shared_->running.store(false);
  shared_->doorbell.stop();
  (void)thread_.join_cancelling_io(kStopLimit);
}

vantle::Status CapturePipeline::stop() {
  producer_.reset();
  stop_worker();
  if (shared_ != nullptr && shared_->output_error_set.load(std::memory_order_acquire)) {
    return shared_->output_error;
  }
  return vantle::Status::success();
}

}  // namespace vantle_audio
