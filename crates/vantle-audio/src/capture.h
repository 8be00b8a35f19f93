// The capture pipeline: the packet loop pushes interleaved float samples
// with a `CaptureProducer`, which never waits, and the capture worker thread
// "vantle-capture" takes them from the frame queue, turns them into the PCM
// stream (pcm_output.h) and, at most once a second, reports the counters on
// standard error. `CapturePipeline` owns all of it.
//
// Threads and ownership:
// - `CapturePipeline`: the run sequence's thread (the host's main thread). It
//   owns the producer and the joinable worker thread, and shares the state
//   below with them.
// - `CaptureProducer`: the packet loop's thread (the same main thread). It
//   owns the queue's producer end and the next frame position.
// - The worker thread owns the queue's consumer end, its `BlockAssembler` and
//   the statistics state.
// Shared (capture_shared.h, where the worker's sleep is written down): the
// flags `running` and `output_failed`, the counters, the worker's wake
// position and its doorbell, reference counted and freed by the last holder;
// the queue by whichever end goes last. The producer takes no lock; the
// worker takes only the standard output lock (one block) and the standard
// error lock (one statistics line).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "chunk_ring.h"
#include "pcm_output.h"
#include "result.h"
#include "worker_thread.h"

namespace vantle_audio {

namespace detail {
struct CaptureShared;
}  // namespace detail
namespace testing {
struct CaptureQueue;
struct PipelineAccess;
}  // namespace testing

struct CaptureCounters {
  std::atomic<std::uint64_t> accepted_frames{0};  // frames that entered the queue
  std::atomic<std::uint64_t> dropped_frames{0};   // queue full, not whole frames, or counted
  std::atomic<std::uint64_t> discontinuities{0};  // reported by the audio device or counted
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
  // Wakes the worker (one system call) only when it sleeps and this push
  // completes the block it waits for, fills half the queue or drops frames.
  void push_samples(const float* samples, std::uint64_t sample_count);

  // `frames` frames of silence (a packet the device flags as silent, time
  // the host could not capture): one chunk, a run of silence, whatever its
  // length, so that a long one cannot overflow the queue; the worker writes
  // it as whole blocks of zeros. Counted and dropped like samples when the
  // queue is full.
  void push_silence(std::uint64_t frames);

  // The device lost data: the next chunk's position is one frame further, so
  // the worker discards its partial block.
  void mark_discontinuity();

  // Audio lost before it reached the producer (a host that mixes on its own
  // clock drops what runs ahead and fills what is missing with silence):
  // added to the counters without moving the frame position, so the blocks
  // stay whole and continuous. Never waits, locks or allocates; dropped
  // frames wake a sleeping worker, whose statistics line reports them.
  void count_losses(std::uint64_t dropped_frames, std::uint64_t discontinuities);

  const CaptureCounters& counters() const;
  std::uint64_t next_position() const { return next_position_; }

 private:
  friend class CapturePipeline;
  friend struct testing::CaptureQueue;
  CaptureProducer(ChunkRing::ProducerEnd ring, std::shared_ptr<detail::CaptureShared> shared,
                  std::uint16_t channels);
  // Cuts `sample_count` samples into chunks of whole frames and queues each;
  // fill_slot(slot, offset, piece) writes a chunk's 1024 samples.
  template <class FillSlot>
  void push_chunks(std::uint64_t sample_count, FillSlot fill_slot);
  // After a push that published chunks or dropped frames.
  void wake_worker_if_due(bool dropped);

  ChunkRing::ProducerEnd ring_;
  std::shared_ptr<detail::CaptureShared> shared_;
  std::uint64_t channels_;
  std::uint64_t chunk_samples_;  // the largest whole number of frames in 1024
  std::uint64_t next_position_ = 0;
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
  // The statistics line's time. The worker's sleeps last as long as this
  // clock says; a test that moves a clock by hand wakes the worker itself.
  MonotonicClock clock = MonotonicClock::steady();
  // Unset: the presence of VANTLE_AUDIO_DIAGNOSTICS, read once at start.
  std::optional<bool> diagnostics;
  // 0: the system's default.
  std::size_t worker_stack_size = 0;
};

struct CaptureFormat {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
};

class CapturePipeline {
 public:
  // Checks the format ("invalid capture format or capacity" unless
  // 1 <= channels <= 1024 and sample_rate != 0), builds the queue and starts
  // the worker thread "vantle-capture"; a thread that cannot be created gives
  // "capture worker: " + the system's error text; nothing stays.
  static vantle::Result<CapturePipeline> start(CaptureFormat format,
                                               const CaptureWorkerOptions& options = {});

  CapturePipeline(CapturePipeline&& other) noexcept;
  // Stops a pipeline this one still holds first.
  CapturePipeline& operator=(CapturePipeline&& other) noexcept;
  CapturePipeline(const CapturePipeline&) = delete;
  CapturePipeline& operator=(const CapturePipeline&) = delete;
  // Not stopped (a set-up step failed): joins the worker, then releases the
  // producer.
  ~CapturePipeline();

  // The packet loop's end, until stop().
  CaptureProducer& producer() { return *producer_; }

  // Set by the worker when the PCM output has ended (failed write, reader
  // gone); the capture loop ends the capture when it sees it. The pipeline
  // owns it.
  const std::atomic<bool>& output_failed() const;
  const CaptureCounters& counters() const;

  // After the capture: releases the producer, clears `running`, wakes the
  // worker and waits for it to end. Queued chunks and the partial block are
  // discarded and no last statistics line is written. A reader that stopped
  // reading does not hold the stop: on Linux the worker's writes wait on the
  // stop as well; on Windows the stop cancels the write, and a worker still
  // in one after kStopLimit (a write the system cannot cancel) is let go, to
  // end with the process. Returns the error that ended the PCM output,
  // unless that was the reader going away or there was none. Calling it
  // twice is harmless.
  vantle::Status stop();

  static constexpr std::chrono::milliseconds kStopLimit{250};

 private:
  friend struct testing::PipelineAccess;
  CapturePipeline(std::unique_ptr<CaptureProducer> producer,
                  std::shared_ptr<detail::CaptureShared> shared, WorkerThread thread);
  // Everything but releasing the producer; the worker's end first.
  void stop_worker();

  std::unique_ptr<CaptureProducer> producer_;
  std::shared_ptr<detail::CaptureShared> shared_;
  WorkerThread thread_;
};

}  // namespace vantle_audio
