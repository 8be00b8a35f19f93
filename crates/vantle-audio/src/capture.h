// The capture pipeline's two ends: the packet loop pushes interleaved float
// samples with a `CaptureProducer`, which never waits, and the capture
// worker thread "vantle-capture" takes them from the frame queue, turns them
// into the PCM stream (pcm_output.h) and, at most once a second, reports the
// counters on standard error.
//
// Threads and ownership:
// - `CaptureProducer`: the packet loop's thread (the host's main thread). It
//   owns the queue's producer end and the next frame position, and shares
//   `running` and the counters.
// - The worker thread owns the queue's consumer end, its `BlockAssembler` and
//   the statistics state, and shares `running`, `output_failed` and the
//   counters.
// - `CaptureWorkerHandle`: the run sequence (main thread). It shares `running`
//   and owns the joinable thread.
// Shared state is reference counted and freed by its last holder; the queue
// by whichever end goes last. `running` and `output_failed` are atomic flags,
// the counters atomic and only ever added to. The producer takes no lock; the
// worker takes only the standard output lock (one block) and the standard
// error lock (one statistics line).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "chunk_ring.h"
#include "pcm_output.h"
#include "result.h"
#include "worker_thread.h"

namespace vantle_audio {

struct CaptureWorker;

struct CaptureCounters {
  std::atomic<std::uint64_t> accepted_frames{0};  // frames that entered the queue
  std::atomic<std::uint64_t> dropped_frames{0};   // queue full, not whole frames, or counted
  std::atomic<std::uint64_t> discontinuities{0};  // reported by the audio device or counted
};

// What the producer, the worker and the handle hold together.
struct CaptureShared {
  std::atomic<bool> running{true};  // cleared only by the stop
  CaptureCounters counters;
  // Written by the worker thread just before it ends, read by the handle
  // after the join: the write failure that ended the output, unless it was
  // the reader going away.
  vantle::Status output_error;
};

class CaptureProducer {
 public:
  CaptureProducer(CaptureProducer&&) noexcept = default;
  CaptureProducer& operator=(CaptureProducer&&) noexcept = default;

  // Copies `sample_count` interleaved samples into the queue in chunks of
  // whole frames (at most 1024 samples), each stamped with the position of
  // its first frame. A chunk that finds the queue full is dropped and counted;
  // a count that is not a whole number of frames drops the whole packet.
  // Never waits, locks or allocates; does nothing once `running` is false.
  void push_samples(const float* samples, std::uint64_t sample_count);

  // The same for `frames` frames of silence (a packet the device flags as
  // silent): the chunks are zero-filled in their slots, so no block of zeros
  // is copied.
  void push_silence(std::uint64_t frames);

  // The device lost data: the next chunk's position is one frame further, so
  // the worker discards its partial block.
  void mark_discontinuity();

  // Audio lost before it reached the producer (a host that mixes on its own
  // clock drops what runs ahead and fills what is missing with silence):
  // added to the counters without moving the frame position, so the blocks
  // stay whole and continuous. Never waits, locks or allocates.
  void count_losses(std::uint64_t dropped_frames, std::uint64_t discontinuities);

  const CaptureCounters& counters() const { return shared_->counters; }
  std::uint64_t next_position() const { return next_position_; }

 private:
  friend struct CaptureQueue;
  CaptureProducer(ChunkRing::ProducerEnd ring, std::shared_ptr<CaptureShared> shared,
                  std::uint16_t channels);
  // Cuts `sample_count` samples into chunks of whole frames and queues each;
  // fill_slot(slot, offset, piece) writes a chunk's 1024 samples.
  template <class FillSlot>
  void push_chunks(std::uint64_t sample_count, FillSlot fill_slot);

  ChunkRing::ProducerEnd ring_;
  std::shared_ptr<CaptureShared> shared_;
  std::uint64_t channels_;
  std::uint64_t chunk_samples_;  // the largest whole number of frames in 1024
  std::uint64_t next_position_ = 0;
};

// A producer with the consumer end of its queue and no worker: the first half
// of start_capture_worker(), usable on its own to drive the queue directly.
struct CaptureQueue {
  static CaptureQueue create(std::uint16_t channels);

  CaptureProducer producer;
  ChunkRing::ConsumerEnd consumer;
  std::shared_ptr<CaptureShared> shared;
};

// A monotonic clock in nanoseconds; a plain function pointer and context.
struct MonotonicClock {
  using NowFn = std::uint64_t (*)(void* context);
  static MonotonicClock steady();
  std::uint64_t now_ns() const { return now(context); }

  NowFn now = nullptr;
  void* context = nullptr;
};

// Where the worker's output goes and what it reads; the defaults are the
// product's. Tests replace them.
struct CaptureWorkerOptions {
  OutputSink pcm_output = OutputSink::standard(vantle::StandardStream::output);
  OutputSink statistics_output = OutputSink::standard(vantle::StandardStream::error);
  MonotonicClock clock = MonotonicClock::steady();
  // Unset: the presence of VANTLE_AUDIO_DIAGNOSTICS, read once at start.
  std::optional<bool> diagnostics;
  // 0: the system's default.
  std::size_t worker_stack_size = 0;
};

class CaptureWorkerHandle {
 public:
  CaptureWorkerHandle() = default;
  CaptureWorkerHandle(CaptureWorkerHandle&&) noexcept = default;
  CaptureWorkerHandle& operator=(CaptureWorkerHandle&& other) noexcept;
  // Stops and joins a worker that was not stopped.
  ~CaptureWorkerHandle() { (void)stop(); }

  const CaptureCounters& counters() const { return shared_->counters; }
  const std::atomic<bool>& running() const { return shared_->running; }

 private:
  friend vantle::Result<CaptureWorker> start_capture_worker(std::uint16_t, std::uint32_t,
                                                            std::shared_ptr<std::atomic<bool>>,
                                                            const CaptureWorkerOptions&);
  friend vantle::Status stop_capture_worker(CaptureWorkerHandle handle);
  vantle::Status stop();

  std::shared_ptr<CaptureShared> shared_;
  WorkerThread thread_;
};

struct CaptureWorker {
  CaptureProducer producer;
  CaptureWorkerHandle handle;
};

// Checks the format ("invalid capture format or capacity" unless
// 1 <= channels <= 1024 and sample_rate != 0), builds the queue and starts the
// worker thread "vantle-capture". A thread that cannot be created gives
// "capture worker: " and the system's error text; nothing stays behind.
// A null `output_failed` is replaced by a flag of the worker's own.
vantle::Result<CaptureWorker> start_capture_worker(std::uint16_t channels,
                                                   std::uint32_t sample_rate,
                                                   std::shared_ptr<std::atomic<bool>> output_failed,
                                                   const CaptureWorkerOptions& options);
vantle::Result<CaptureWorker> start_capture_worker(
    std::uint16_t channels, std::uint32_t sample_rate,
    std::shared_ptr<std::atomic<bool>> output_failed);

struct CaptureFormat {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
};

// The pipeline as a run sequence holds it: the producer its capture feeds,
// the worker behind it and the flag that says the PCM output has ended,
// taken down in the order each end needs. Main thread only.
class CapturePipeline {
 public:
  // Checks the format, builds the queue and starts the worker (as
  // start_capture_worker does).
  static vantle::Result<CapturePipeline> start(CaptureFormat format,
                                               const CaptureWorkerOptions& options = {});
  CapturePipeline(CapturePipeline&&) noexcept = default;
  CapturePipeline& operator=(CapturePipeline&&) noexcept = default;
  // Not stopped (a set-up step failed): joins the worker, then releases the
  // producer.
  ~CapturePipeline();

  CaptureProducer& producer() { return *state_->producer; }
  // Set by the worker once the PCM output has ended.
  const std::atomic<bool>& output_failed() const { return *state_->output_failed; }

  // After the capture: releases the producer, then stops and joins the
  // worker (stop_capture_worker); returns the error that ended the PCM
  // output, if one did.
  vantle::Status stop();

 private:
  struct State {
    std::shared_ptr<std::atomic<bool>> output_failed;
    std::optional<CaptureProducer> producer;
    std::optional<CaptureWorkerHandle> handle;
  };
  explicit CapturePipeline(std::unique_ptr<State> state) : state_(std::move(state)) {}
  std::unique_ptr<State> state_;
};

// Clears `running` and waits for the worker to end; queued chunks and the
// partial block are discarded and no last statistics line is written. A
// worker that ended abnormally is ignored. Returns the error that ended the
// PCM output, if one did: a failed write (the reader going away is not an
// error) or conversion. The capture ends through `output_failed` either way;
// this tells the run sequence whether that end is normal.
vantle::Status stop_capture_worker(CaptureWorkerHandle handle);

}  // namespace vantle_audio
