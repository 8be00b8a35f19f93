// Test-only access to the capture pipeline (tests and benchmarks; never
// included by product code): the frame queue driven without a worker, and a
// way to wake a worker whose clock a test moves by hand.
#pragma once

#include <atomic>
#include <cassert>
#include <cstdint>
#include <memory>
#include <utility>

#include "capture.h"
#include "capture_shared.h"

namespace vantle_audio::testing {

// A producer with the consumer end of its queue and no worker: the test
// takes the chunks itself. Nobody sleeps, so the producer never rings.
struct CaptureQueue {
  static CaptureQueue create(std::uint16_t channels) {
    assert(channels != 0);
    ChunkRing::Ends ends = ChunkRing::create();
    auto shared = std::make_shared<detail::CaptureShared>(Doorbell());
    return CaptureQueue{CaptureProducer(std::move(ends.producer), shared, channels),
                        std::move(ends.consumer), shared};
  }

  // Clears `running`, as the stop does.
  void stop_running() { shared->running.store(false); }

  CaptureProducer producer;
  ChunkRing::ConsumerEnd consumer;
  std::shared_ptr<detail::CaptureShared> shared;
};

struct PipelineAccess {
  // Wakes the worker as the producer would: it looks at its work and its
  // clock again.
  static void wake_worker(const CapturePipeline& pipeline) { pipeline.shared_->doorbell.ring(); }
  static const std::atomic<bool>& running(const CapturePipeline& pipeline) {
    return pipeline.shared_->running;
  }
};

}  // namespace vantle_audio::testing
