#include "chunk_ring.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace vantle_audio {
namespace {

bool push(ChunkRing::ProducerEnd& producer, std::uint64_t position) {
  FrameChunk* slot = producer.try_reserve();
  if (slot == nullptr) {
    return false;
  }
  slot->position = position;
  slot->sample_count = 1;
  slot->samples[0] = static_cast<float>(position);
  producer.publish();
  return true;
}

// Fill, overfill and drain in uneven steps until the positions have wrapped
// many times; order is kept and full/empty are exact at every stage.
TEST(ChunkRing, HoldsExactly32InOrderAcrossWraps) {
  ChunkRing::Ends ring = ChunkRing::create();
  std::uint64_t pushed = 0;
  std::uint64_t popped = 0;
  for (int round = 0; round < 50; ++round) {
    const std::uint64_t fill = 1 + (round * 7) % 40;  // sometimes more than fits
    for (std::uint64_t i = 0; i < fill; ++i) {
      const bool room = pushed - popped < kChunkRingCapacity;
      ASSERT_EQ(push(ring.producer, pushed), room) << "round " << round;
      pushed += room ? 1 : 0;
    }
    const std::uint64_t drain = 1 + (round * 5) % 37;
    for (std::uint64_t i = 0; i < drain; ++i) {
      const FrameChunk* chunk = ring.consumer.front();
      ASSERT_EQ(chunk != nullptr, popped < pushed) << "round " << round;
      if (chunk == nullptr) {
        break;
      }
      EXPECT_EQ(chunk->position, popped);
      EXPECT_EQ(chunk->samples[0], static_cast<float>(popped));
      ring.consumer.pop();
      ++popped;
    }
  }
  EXPECT_GT(pushed, 10 * 2 * kChunkRingCapacity);
}

TEST(ChunkRing, FreedOnceWhicheverEndGoesLast) {
  for (const bool producer_first : {true, false}) {
    ChunkRing::Ends ring = ChunkRing::create();
    ASSERT_TRUE(push(ring.producer, 1));  // queued chunks go with the ring
    if (producer_first) {
      ring.producer = {};
      ASSERT_NE(ring.consumer.front(), nullptr);  // still usable
      ring.consumer = {};
    } else {
      ring.consumer = {};
      ASSERT_TRUE(push(ring.producer, 2));
      ring.producer = {};
    }
    EXPECT_FALSE(ring.producer);
    EXPECT_FALSE(ring.consumer);
  }
}

}  // namespace
}  // namespace vantle_audio
