#include "chunk_ring.h"

#include <memory>

namespace vantle_audio {

static_assert(alignof(ChunkRing) >= 128);

ChunkRing::Ends ChunkRing::create() {
  // The two ends share one allocation; release_end() frees it once.
  // Value-initialised: every slot starts as zeros.
  ChunkRing* ring = new ChunkRing();
  return Ends{ProducerEnd(ring), ConsumerEnd(ring)};
}

void ChunkRing::release_end(ChunkRing* ring) {
  // The first end to go only leaves the mark; the second frees the ring.
  if (ring->one_end_gone_.exchange(true, std::memory_order_acq_rel)) {
    std::unique_ptr<ChunkRing> last(ring);
  }
}

ChunkRing::ProducerEnd& ChunkRing::ProducerEnd::operator=(ProducerEnd&& other) noexcept {
  if (this != &other) {
    reset();
    ring_ = std::exchange(other.ring_, nullptr);
    tail_ = other.tail_;
    cached_head_ = other.cached_head_;
  }
  return *this;
}

void ChunkRing::ProducerEnd::reset() {
  if (ring_ != nullptr) {
    release_end(std::exchange(ring_, nullptr));
  }
}

ChunkRing::ConsumerEnd& ChunkRing::ConsumerEnd::operator=(ConsumerEnd&& other) noexcept {
  if (this != &other) {
    reset();
    ring_ = std::exchange(other.ring_, nullptr);
    head_ = other.head_;
    cached_tail_ = other.cached_tail_;
  }
  return *this;
}

void ChunkRing::ConsumerEnd::reset() {
  if (ring_ != nullptr) {
    release_end(std::exchange(ring_, nullptr));
  }
}

}  // namespace vantle_audio
