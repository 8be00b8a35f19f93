// The frame queue between the packet loop and the capture worker: a bounded,
// lock-free ring of 32 `FrameChunk` slots with exactly one producer and one
// consumer.
//
// Threads and ownership:
// - The producer end (tail and a cached copy of head) belongs to the thread
//   that runs the packet loop; the consumer end (head and a cached copy of
//   tail) to the capture worker. Each end is used by one thread at a time.
// - Shared between them: the slots, the published head and tail, and the
//   mark that one end is gone. A slot belongs to the producer from the moment
//   the consumer publishes a head past it until the producer publishes a tail
//   past it, and to the consumer in between; the release/acquire pairing of
//   the published positions is the only ordering the ring needs. Tail is
//   published and read sequentially consistent all the same: the capture
//   worker's sleep (capture_shared.h) orders it against its wake position.
// - The ring is freed by whichever end is released last, whatever the order.
//
// Positions run over 0 ... 2C-1 (C = 32), so a full ring (distance C) and an
// empty one (distance 0) are told apart without a spare slot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace vantle_audio {

inline constexpr std::size_t kFrameChunkSamples = 1024;
inline constexpr std::uint64_t kChunkRingCapacity = 32;

// One queue element: up to 1024 interleaved samples of whole frames, or a
// run of silence of any length.
struct FrameChunk {
  // The first `sample_count` entries hold samples (frame by frame, channel 0
  // first); the producer sets the rest to 0.0.
  float samples[kFrameChunkSamples];
  // 1 ... 1024, a whole multiple of the channel count; 0 for a run of
  // silence.
  std::uint64_t sample_count;
  // Frame index of the first frame in the producer's running frame count.
  std::uint64_t position;
  // The frames of a run of silence (samples unused), else 0: time that had
  // no audio takes one slot however long it was.
  std::uint64_t silent_frames;
};

class ChunkRing {
 public:
  class ProducerEnd;
  class ConsumerEnd;
  struct Ends;

  // Allocates the ring with all its slots; nothing is allocated afterwards.
  static Ends create();

  ChunkRing(const ChunkRing&) = delete;
  ChunkRing& operator=(const ChunkRing&) = delete;

 private:
  ChunkRing() = default;
  static void release_end(ChunkRing* ring);

  // Each published position in a block of its own, so that the producer's
  // stores to tail and the consumer's stores to head never share a line.
  alignas(128) std::atomic<std::uint64_t> head_{0};
  alignas(128) std::atomic<std::uint64_t> tail_{0};
  alignas(128) std::atomic<bool> one_end_gone_{false};
  FrameChunk slots_[kChunkRingCapacity];

  friend class ProducerEnd;
  friend class ConsumerEnd;
};

// The producer's end; move-only. Destroying it gives up its share of the ring.
class ChunkRing::ProducerEnd {
 public:
  ProducerEnd() = default;
  ProducerEnd(ProducerEnd&& other) noexcept { *this = std::move(other); }
  ProducerEnd& operator=(ProducerEnd&& other) noexcept;
  ~ProducerEnd() { reset(); }

  // The slot at tail for the producer to fill, or null when the ring is full.
  // The slot stays the producer's until publish().
  FrameChunk* try_reserve() {
    if (((tail_ - cached_head_) & kPositionMask) == kChunkRingCapacity) {
      cached_head_ = ring_->head_.load(std::memory_order_acquire);
      if (((tail_ - cached_head_) & kPositionMask) == kChunkRingCapacity) {
        return nullptr;
      }
    }
    return &ring_->slots_[tail_ & kSlotMask];
  }

  // Hands the slot returned by the last try_reserve() to the consumer.
  void publish() {
    tail_ = (tail_ + 1) & kPositionMask;
    ring_->tail_.store(tail_, std::memory_order_seq_cst);
  }

  // Chunks published and not yet taken, as of now.
  std::uint64_t queued() {
    cached_head_ = ring_->head_.load(std::memory_order_acquire);
    return (tail_ - cached_head_) & kPositionMask;
  }

  explicit operator bool() const { return ring_ != nullptr; }

 private:
  friend class ChunkRing;
  static constexpr std::uint64_t kPositionMask = 2 * kChunkRingCapacity - 1;
  static constexpr std::uint64_t kSlotMask = kChunkRingCapacity - 1;

  explicit ProducerEnd(ChunkRing* ring) : ring_(ring) {}
  void reset();

  ChunkRing* ring_ = nullptr;
  std::uint64_t tail_ = 0;
  std::uint64_t cached_head_ = 0;
};

// The consumer's end; move-only. Destroying it gives up its share of the ring;
// chunks still queued are discarded with the ring.
class ChunkRing::ConsumerEnd {
 public:
  ConsumerEnd() = default;
  ConsumerEnd(ConsumerEnd&& other) noexcept { *this = std::move(other); }
  ConsumerEnd& operator=(ConsumerEnd&& other) noexcept;
  ~ConsumerEnd() { reset(); }

  // The oldest queued chunk, or null when the ring is empty. It stays valid
  // and unchanged until pop().
  const FrameChunk* front() {
    if (head_ == cached_tail_) {
      cached_tail_ = ring_->tail_.load(std::memory_order_seq_cst);
      if (head_ == cached_tail_) {
        return nullptr;
      }
    }
    return &ring_->slots_[head_ & ProducerEnd::kSlotMask];
  }

  // Gives the slot of front() back to the producer.
  void pop() {
    head_ = (head_ + 1) & ProducerEnd::kPositionMask;
    ring_->head_.store(head_, std::memory_order_release);
  }

  explicit operator bool() const { return ring_ != nullptr; }

 private:
  friend class ChunkRing;
  explicit ConsumerEnd(ChunkRing* ring) : ring_(ring) {}
  void reset();

  ChunkRing* ring_ = nullptr;
  std::uint64_t head_ = 0;
  std::uint64_t cached_tail_ = 0;
};

struct ChunkRing::Ends {
  ProducerEnd producer;
  ConsumerEnd consumer;
};

}  // namespace vantle_audio
