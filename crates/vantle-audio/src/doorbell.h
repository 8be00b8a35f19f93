// What the capture worker sleeps on: a bell the producer rings when it has
// published what the worker waits for, and a stop that, once given, stays.
//
// - Linux: two eventfds. The bell's counter is drained by the wait that it
//   ends; the stop's is never drained, so every later wait, and every write
//   that polls the stop (vantle::WriteStop), returns at once.
// - Windows: an auto-reset event (the bell) and a manual-reset event (the
//   stop). A write cannot wait on an event; the stop cancels it instead
//   (WorkerThread::join_cancelling_io).
//
// A ring that finds the worker awake is not lost but stale: the next wait
// returns at once, once. The ring and the stop are made from any thread;
// wait() from the worker only. The handles are owned here and closed once,
// by whoever releases the last share of the pipeline's shared state.
#pragma once

#include <chrono>
#include <optional>

#include "result.h"
#include "std_streams.h"
#include "worker_thread.h"

#ifndef _WIN32
#include "unique_fd.h"
#endif

namespace vantle_audio {

class Doorbell {
 public:
  // No bell: only for a queue without a worker, which nobody rings.
  Doorbell() = default;
  // The error is the system's text with its code.
  static vantle::Result<Doorbell> create();

  // Wakes a wait(), now or, if none is under way, the next one. Never blocks.
  void ring() const;
  // Ends the wait under way and every later one, for good.
  void stop() const;

  enum class Woken { rung, stopped, timed_out };
  // Sleeps until the bell rings, the stop is given or `timeout` has passed
  // (none: no time limit). The stop wins over a ring.
  Woken wait(std::optional<std::chrono::nanoseconds> timeout) const;

  // What ends the worker's writes once the stop is given.
  vantle::WriteStop write_stop() const;

 private:
#ifdef _WIN32
  OpaqueHandle bell_;
  OpaqueHandle stop_;
#else
  vantle::UniqueFd bell_;
  vantle::UniqueFd stop_;
#endif
};

}  // namespace vantle_audio
