#include "pcm_output.h"

#include <algorithm>
#include <cassert>
#include <mutex>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define VANTLE_AUDIO_SSE2 1
#endif

namespace vantle_audio {
namespace {

constexpr const char* kIncompleteFrame = "incomplete audio frame";

template <vantle::StandardStream stream>
vantle::WriteStatus write_standard_stream(void*, const std::uint8_t* bytes, std::size_t size,
                                          vantle::WriteStop stop) {
  std::lock_guard<std::mutex> lock(vantle::standard_stream_lock(stream));
  return vantle::write_all(stream, bytes, size, vantle::MissingStream::discard, stop);
}

// One mixed frame to its 16-bit sample, exactly as the stream defines it.
inline std::int16_t to_s16(float mean) {
  if (mean < -1.0f) {
    mean = -1.0f;
  }
  if (mean > 1.0f) {
    mean = 1.0f;
  }
  const float scaled = mean * 32767.0f;
  if (scaled != scaled) {
    return 0;
  }
  if (scaled >= 32767.0f) {
    return 32767;
  }
  if (scaled <= -32768.0f) {
    return -32768;
  }
  return static_cast<std::int16_t>(scaled);
}

inline void store_le(std::uint8_t* out, std::int16_t value) {
  const auto bits = static_cast<std::uint16_t>(value);
  out[0] = static_cast<std::uint8_t>(bits & 0xFF);
  out[1] = static_cast<std::uint8_t>(bits >> 8);
}

void convert_frames(const float* samples, std::uint64_t frames, std::uint64_t channels,
                    std::uint8_t* out) {
  const float divisor = static_cast<float>(channels);
  for (std::uint64_t frame = 0; frame < frames; ++frame) {
    float sum = -0.0f;
    for (std::uint64_t channel = 0; channel < channels; ++channel) {
      sum += samples[frame * channels + channel];
    }
    store_le(out + 2 * frame, to_s16(sum / divisor));
  }
}

#ifdef VANTLE_AUDIO_SSE2
// Stereo, eight frames at a time, with the same arithmetic bit for bit:
// -0.0 + a + b equals a + b (up to the payload of a NaN, which ends as 0);
// x / 2 and x * 0.5 are the same correctly rounded value; maxps/minps return
// their second operand when either is a NaN, as the scalar comparisons do;
// the clamp leaves nothing for the saturating pack to saturate. x86 is
// little-endian, so the 16-bit lanes are stored as they are.
std::uint64_t convert_stereo_sse2(const float* samples, std::uint64_t frames, std::uint8_t* out) {
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 low = _mm_set1_ps(-1.0f);
  const __m128 high = _mm_set1_ps(1.0f);
  const __m128 scale = _mm_set1_ps(32767.0f);
  auto four_frames = [&](__m128 first, __m128 second) {
    const __m128 left = _mm_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 right = _mm_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1));
    __m128 mean = _mm_mul_ps(_mm_add_ps(left, right), half);
    mean = _mm_min_ps(high, _mm_max_ps(low, mean));
    const __m128 scaled = _mm_mul_ps(mean, scale);
    return _mm_cvttps_epi32(_mm_and_ps(scaled, _mm_cmpord_ps(scaled, scaled)));
  };
  std::uint64_t frame = 0;
  for (; frame + 8 <= frames; frame += 8) {
    const float* p = samples + 2 * frame;
    const __m128i first = four_frames(_mm_loadu_ps(p), _mm_loadu_ps(p + 4));
    const __m128i second = four_frames(_mm_loadu_ps(p + 8), _mm_loadu_ps(p + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * frame), _mm_packs_epi32(first, second));
  }
  return frame;
}
#endif

}  // namespace

OutputSink OutputSink::standard(vantle::StandardStream stream) {
  return OutputSink{stream == vantle::StandardStream::output
                        ? &write_standard_stream<vantle::StandardStream::output>
                        : &write_standard_stream<vantle::StandardStream::error>,
                    nullptr};
}

vantle::Status convert_block_to_s16le_into(const float* samples, std::uint64_t sample_count,
                                           std::uint64_t channels, std::uint8_t* out) {
  if (channels == 0 || sample_count % channels != 0) {
    return vantle::make_error(kIncompleteFrame);
  }
  const std::uint64_t frames = sample_count / channels;
  std::uint64_t done = 0;
#ifdef VANTLE_AUDIO_SSE2
  if (channels == 2) {
    done = convert_stereo_sse2(samples, frames, out);
  }
#endif
  convert_frames(samples + done * channels, frames - done, channels, out + 2 * done);
  return vantle::Status::success();
}

BlockAssembler::BlockAssembler(std::uint16_t channels, std::uint32_t sample_rate, OutputSink output,
                               vantle::WriteStop stop)
    : channels_(channels),
      block_samples_(std::uint64_t{channels} * std::max<std::uint32_t>(sample_rate / 50, 1)),
      output_(output),
      stop_(stop) {
  pending_.reserve(block_samples_ + kFrameChunkSamples);
  block_bytes_.resize(channels == 0 ? 0 : 2 * (block_samples_ / channels));
}

void BlockAssembler::append(const FrameChunk& chunk) {
  assert(chunk.sample_count <= kFrameChunkSamples && channels_ != 0);
  if (has_expected_position_ && expected_position_ != chunk.position) {
    pending_.clear();  // the partial block before a gap is never written
  }
  has_expected_position_ = true;
  expected_position_ = chunk.position + chunk.sample_count / channels_;
  pending_.insert(pending_.end(), chunk.samples, chunk.samples + chunk.sample_count);
}

void BlockAssembler::append_silence(std::uint64_t position, std::uint64_t frames,
                                    const std::atomic<bool>& running,
                                    std::atomic<bool>& output_failed) {
  assert(channels_ != 0);
  if (has_expected_position_ && expected_position_ != position) {
    pending_.clear();  // the partial block before a gap is never written
  }
  has_expected_position_ = true;
  expected_position_ = position + frames;
  while (frames > 0 && running.load()) {
    const std::uint64_t room = (block_samples_ - pending_.size()) / channels_;
    const std::uint64_t now = std::min(frames, room);
    // Within the reserved capacity: no allocation.
    pending_.resize(pending_.size() + static_cast<std::size_t>(now * channels_), 0.0f);
    frames -= now;
    write_blocks(running, output_failed);
  }
  if (!running.load()) {
    pending_.clear();
  }
}

void BlockAssembler::write_blocks(const std::atomic<bool>& running,
                                  std::atomic<bool>& output_failed) {
  std::size_t taken = 0;
  while (pending_.size() - taken >= block_samples_) {
    if (!running.load()) {
      pending_.clear();
      return;
    }
    const float* block = pending_.data() + taken;
    taken += block_samples_;
    if (!output_failed.load()) {
      vantle::Status converted =
          convert_block_to_s16le_into(block, block_samples_, channels_, block_bytes_.data());
      if (!converted) {
        output_error_ = std::move(converted);
        output_failed.store(true);
        continue;
      }
      const vantle::WriteStatus written =
          output_.write(block_bytes_.data(), block_bytes_.size(), stop_);
      if (!written) {
        // A write the stop cut (the block's last bytes may be missing) ends
        // the output like the reader going away: the capture is over.
        if (!written.reader_gone() && running.load()) {
          output_error_ = written.status();
        }
        output_failed.store(true);
      }
    }
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(taken));
}

}  // namespace vantle_audio
