// What the producer, the capture worker and the pipeline share (capture.h),
// and how the worker sleeps without ever missing its wake-up. Internal to the
// capture pipeline and its tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <limits>
#include <utility>

#include "capture.h"
#include "doorbell.h"
#include "result.h"

namespace vantle_audio::detail {

// The wake position of a worker that is not asleep.
inline constexpr std::uint64_t kNotWaiting = std::numeric_limits<std::uint64_t>::max();

// A sleeping worker is woken once this many chunks wait in the queue, even
// before they complete its block: small packets never fill the queue
// behind its back.
inline constexpr std::uint64_t kWakeQueuedChunks = kChunkRingCapacity / 2;

// How the worker sleeps: it sleeps only with the queue drained and nothing
// due, and the producer rings its doorbell only when it has published what
// the worker waits for. All the accesses named below are sequentially
// consistent (the queue's tail included, chunk_ring.h).
//
// The worker, about to sleep:
//   W1. stores `wake_position`: the producer's frame position at which the
//       samples it holds make a whole block (0 when it holds none);
//   W2. loads the queue's tail, `running` and `dropped_frames`; if a chunk
//       is there, `running` is cleared or frames were dropped since it last
//       looked, it stores kNotWaiting and goes back to work;
//   W3. otherwise waits on the doorbell (rung, stopped, or the next
//       statistics line due), then stores kNotWaiting.
// The producer, after a push that published a chunk or dropped frames, or
// a count_losses() with dropped frames:
//   P1. has stored the queue's tail or added to `dropped_frames`;
//   P2. loads `wake_position`: kNotWaiting ends it (the usual case, one
//       load); so does a position its next frame position has not reached,
//       with fewer than kWakeQueuedChunks queued and nothing dropped;
//   P3. exchanges `wake_position` for kNotWaiting and rings only if it got
//       a waiting value: one ring per sleep.
// No wake-up is lost: W1, W2, P1 and P2 lie in one total order that keeps
// each thread's order. If P2 comes before W1, then P1 does too and W2 sees
// the chunk or the drop; otherwise P2 sees the worker waiting. (With
// acquire and release alone both could read the old values.) There are no
// fences: ThreadSanitizer does not model them.
// A ring can be stale: the worker woke by itself (timeout) after P3 took
// its position; the ring then ends its next wait early, once.
// The stop clears `running` and then stops the doorbell, which stays
// stopped: it needs no ordering against the sleep.
struct CaptureShared {
  explicit CaptureShared(Doorbell bell) : doorbell(std::move(bell)) {}

  std::atomic<bool> running{true};  // cleared only by the stop
  // Set by the worker (pcm_output.h) when the PCM output has ended; read by
  // the capture loop.
  std::atomic<bool> output_failed{false};
  CaptureCounters counters;
  std::atomic<std::uint64_t> wake_position{kNotWaiting};
  const Doorbell doorbell;

  // The failure that ended the PCM output, when it was not the reader
  // going away: written once by the worker, then `output_error_set` is set
  // (release); read by the stop after it sees the flag (acquire), so also
  // from a worker that was let go.
  vantle::Status output_error;
  std::atomic<bool> output_error_set{false};
};

}  // namespace vantle_audio::detail
