#include "pcm_output.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "pipeline_test_support.h"

namespace vantle_audio {
namespace {

using testing::RecordingSink;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

std::int16_t sample_at(const std::vector<std::uint8_t>& bytes, std::size_t index) {
  return static_cast<std::int16_t>(bytes[2 * index] | (bytes[2 * index + 1] << 8));
}

// The conversion into a buffer of its own size.
vantle::Result<std::vector<std::uint8_t>> convert_block_to_s16le(const float* samples,
                                                                 std::uint64_t sample_count,
                                                                 std::uint64_t channels) {
  std::vector<std::uint8_t> bytes(channels == 0 ? 0 : 2 * (sample_count / channels));
  vantle::Status status =
      convert_block_to_s16le_into(samples, sample_count, channels, bytes.data());
  if (!status) {
    return vantle::make_error(status.error());
  }
  return bytes;
}

TEST(ConvertBlock, FrameValues) {
  struct Case {
    float left, right;
    std::int16_t expected;
  };
  const Case cases[] = {
      {1.0f, 1.0f, 32767},
      {1.0f, 0.0f, 16383},
      {-1.0f, -1.0f, -32767},
      {1.0f, -1.0f, 0},
      {3.0f, -1.0f, 32767},  // the mean is clamped, not each sample
      {0.00002f, 0.00002f, 0},
      {kNaN, 0.0f, 0},
      {0.0f, kNaN, 0},
      {kInf, 0.0f, 32767},
      {-kInf, 0.0f, -32767},
      {-kInf, kInf, 0},        // NaN mean
      {-3.0f, -3.0f, -32767},  // never -32768
      {-0.5f, -0.5f, -16383},  // toward zero
      {0.5f, 0.5f, 16383},
      {-0.0f, -0.0f, 0},
      {std::numeric_limits<float>::max(), std::numeric_limits<float>::max(), 32767},
      {-2.5f / 32767.0f, -2.5f / 32767.0f, -2},
  };
  // Each frame alone, and all of them in one block (the wide stereo path).
  std::vector<float> block;
  for (const Case& c : cases) {
    const float frame[] = {c.left, c.right};
    auto bytes = convert_block_to_s16le(frame, 2, 2);
    ASSERT_TRUE(bytes.ok());
    ASSERT_EQ(bytes.value().size(), 2u);
    EXPECT_EQ(sample_at(bytes.value(), 0), c.expected) << c.left << ", " << c.right;
    block.insert(block.end(), {c.left, c.right});
  }
  auto bytes = convert_block_to_s16le(block.data(), block.size(), 2);
  ASSERT_TRUE(bytes.ok());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(sample_at(bytes.value(), i), cases[i].expected) << "frame " << i << " in a block";
  }
}

TEST(ConvertBlock, LittleEndianBytes) {
  const float frame[] = {-2.5f / 32767.0f, -2.5f / 32767.0f, 1.0f, 0.0f};
  auto bytes = convert_block_to_s16le(frame, 4, 2);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes.value(), (std::vector<std::uint8_t>{0xFE, 0xFF, 0xFF, 0x3F}));
}

TEST(ConvertBlock, EmptyAndIncompleteFrames) {
  const float samples[3] = {0.1f, 0.2f, 0.3f};
  auto empty = convert_block_to_s16le(samples, 0, 2);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
  for (const auto& [count, channels] : {std::pair<std::uint64_t, std::uint64_t>{3, 2}, {2, 0}}) {
    auto result = convert_block_to_s16le(samples, count, channels);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), "incomplete audio frame");
  }
}

// Every float bit pattern class (NaNs, infinities, subnormals, huge values)
// and ordinary audio, for several channel counts and lengths that leave
// tails after the wide path: identical to the step-by-step arithmetic.
TEST(ConvertBlock, MatchesTheStepByStepArithmeticBitForBit) {
  std::mt19937 random(20240611);
  std::uniform_real_distribution<float> audio(-1.5f, 1.5f);
  for (std::uint64_t channels = 1; channels <= 5; ++channels) {
    for (const std::uint64_t frames : {1u, 7u, 8u, 9u, 17u, 960u, 1001u}) {
      std::vector<float> samples(frames * channels);
      for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = (i % 3 == 0) ? std::bit_cast<float>(static_cast<std::uint32_t>(random()))
                                  : audio(random);
      }
      auto bytes = convert_block_to_s16le(samples.data(), samples.size(), channels);
      ASSERT_TRUE(bytes.ok());
      ASSERT_EQ(bytes.value().size(), 2 * frames);
      for (std::uint64_t f = 0; f < frames; ++f) {
        ASSERT_EQ(sample_at(bytes.value(), f),
                  testing::reference_sample(samples.data() + f * channels, channels))
            << channels << " channels, frame " << f;
      }
    }
  }
}

FrameChunk make_chunk(std::uint64_t position, std::uint64_t samples) {
  FrameChunk chunk{};
  chunk.position = position;
  chunk.sample_count = samples;
  std::vector<float> values;
  testing::append_frames(values, position, samples / 2);
  std::memcpy(chunk.samples, values.data(), values.size() * sizeof(float));
  return chunk;
}

struct AssemblerFixture : ::testing::Test {
  RecordingSink output;
  std::atomic<bool> running{true};
  std::atomic<bool> output_failed{false};
  BlockAssembler assembler{2, 48000, output.sink()};
  // As the worker hands a chunk over.
  void accept(const FrameChunk& chunk) {
    assembler.append(chunk);
    assembler.write_blocks(running, output_failed);
  }
};

TEST_F(AssemblerFixture, JoinsChunksIntoWholeBlocks) {
  EXPECT_EQ(assembler.block_samples(), 1920u);
  // The first chunk is never a gap, wherever it starts.
  accept(make_chunk(1000, 1024));
  EXPECT_TRUE(output.writes().empty());
  accept(make_chunk(1512, 1024));
  ASSERT_EQ(output.writes().size(), 1u);
  EXPECT_EQ(output.writes()[0].size(), 1920u);
  EXPECT_EQ(testing::locate_block(output.writes()[0]), 1000u);
  EXPECT_EQ(assembler.pending_samples(), 128u);
}

TEST_F(AssemblerFixture, GapDiscardsThePartialBlock) {
  accept(make_chunk(0, 1000));
  accept(make_chunk(500, 500));  // 1500 samples pending
  EXPECT_EQ(assembler.pending_samples(), 1500u);
  accept(make_chunk(751, 1024));  // one frame beyond: the 1500 are lost
  EXPECT_EQ(assembler.pending_samples(), 1024u);
  accept(make_chunk(1263, 1024));
  ASSERT_EQ(output.writes().size(), 1u);
  EXPECT_EQ(testing::locate_block(output.writes()[0]), 751u);
  EXPECT_FALSE(output_failed);
}

TEST_F(AssemblerFixture, ARunOfSilenceFillsBlocksAndKeepsTheGapRule) {
  accept(make_chunk(0, 1000));  // 500 frames
  assembler.append_silence(500, 460 + 960 * 3, running, output_failed);
  ASSERT_EQ(output.writes().size(), 4u);
  EXPECT_EQ(testing::locate_block(output.writes()[0].substr(0, 1000)), 0u);
  EXPECT_EQ(output.writes()[0].substr(1000), std::string(920, '\0'));
  EXPECT_EQ(output.writes()[3], std::string(1920, '\0'));
  EXPECT_EQ(assembler.pending_samples(), 0u);
  assembler.append_silence(5000, 100, running, output_failed);  // not at 3840: a gap
  accept(make_chunk(5100, 1024));
  EXPECT_EQ(assembler.pending_samples(), 1224u);
  assembler.append_silence(9999, 100, running, output_failed);  // a gap again
  EXPECT_EQ(assembler.pending_samples(), 200u);
  EXPECT_EQ(output.writes().size(), 4u);
}

TEST_F(AssemblerFixture, StoppedWhileABlockIsCompleteWritesNothing) {
  accept(make_chunk(0, 1024));
  running = false;
  accept(make_chunk(512, 1024));
  EXPECT_TRUE(output.writes().empty());
  EXPECT_EQ(assembler.pending_samples(), 0u);
}

TEST_F(AssemblerFixture, AfterAFailedWriteBlocksAreDroppedUnwritten) {
  output.fail_from_write(1);
  std::uint64_t position = 0;
  for (int i = 0; i < 8; ++i) {  // 8192 samples: four blocks
    accept(make_chunk(position, 1024));
    position += 512;
  }
  EXPECT_TRUE(output_failed);
  EXPECT_EQ(output.calls(), 2u);  // one written, one failed, then nothing
  EXPECT_EQ(output.writes().size(), 1u);
  EXPECT_EQ(assembler.pending_samples(), 8192u - 4 * 1920u);
  ASSERT_FALSE(assembler.output_error().ok());
  EXPECT_EQ(assembler.output_error().error(), "disk full");
}

// Two failures end the output without an error for the translator: the
// reader going away, and a write the stop cut (it failed once `running` was
// cleared, while it waited for a reader that had stopped reading).
TEST(BlockAssembler, TheReaderGoingAwayOrTheStopIsNoOutputError) {
  struct FailingSink {
    std::atomic<bool>* running;
    bool reader_gone;
    static vantle::WriteStatus write(void* context, const std::uint8_t*, std::size_t,
                                     vantle::WriteStop) {
      auto* self = static_cast<FailingSink*>(context);
      if (!self->reader_gone) {
        self->running->store(false);  // the stop, while the write waits
      }
      return vantle::WriteStatus::failed(self->reader_gone ? "reader gone" : "write stopped",
                                         self->reader_gone);
    }
  };
  for (const bool reader_gone : {true, false}) {
    SCOPED_TRACE(reader_gone ? "reader gone" : "cut by the stop");
    std::atomic<bool> running{true};
    std::atomic<bool> output_failed{false};
    FailingSink sink{&running, reader_gone};
    BlockAssembler assembler(2, 48000, OutputSink{&FailingSink::write, &sink});
    assembler.append(make_chunk(0, 1024));
    assembler.append(make_chunk(512, 1024));
    assembler.write_blocks(running, output_failed);
    EXPECT_TRUE(output_failed);
    EXPECT_TRUE(assembler.output_error().ok());
  }
}

}  // namespace
}  // namespace vantle_audio
