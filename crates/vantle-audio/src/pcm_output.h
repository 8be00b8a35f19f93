// Block assembly, conversion to mono s16le and the PCM stream on standard
// output.
//
// The capture worker hands every chunk it takes from the frame queue, in
// queue order, to its `BlockAssembler`, which joins them into 20 ms blocks,
// throws away the partial block before any gap in the frame positions, mixes
// each full block to one channel of signed 16-bit little-endian samples and
// writes it whole. The stream carries raw samples only: no header, no framing,
// no filler for lost audio.
//
// Threads: a `BlockAssembler` belongs to the capture worker alone. It reads
// the shared `running` flag and sets the shared `output_failed` flag (both
// atomic; the packet loop on the main thread tests `output_failed` and ends
// the capture). Writes to the real standard output take its process-wide
// lock (std_streams.h) for one whole block. Everything else here is pure.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "chunk_ring.h"
#include "result.h"
#include "std_streams.h"

namespace vantle_audio {

// The PCM stream has one channel: every block is mixed down to mono.
inline constexpr std::uint16_t kPcmChannels = 1;

// Where whole units of bytes go (one PCM block, one statistics line). A plain
// function pointer and context: cheap to call and easy to replace in tests.
// A write that waits for its reader ends at `stop` (std_streams.h).
struct OutputSink {
  using WriteFn = vantle::WriteStatus (*)(void* context, const std::uint8_t* bytes,
                                          std::size_t size, vantle::WriteStop stop);

  // Holds the stream's lock for the whole unit and writes it with write_all():
  // unbuffered, unchanged bytes; a missing or invalid handle discards them.
  static OutputSink standard(vantle::StandardStream stream);

  vantle::WriteStatus write(const std::uint8_t* bytes, std::size_t size,
                            vantle::WriteStop stop = {}) const {
    return write_fn(context, bytes, size, stop);
  }

  WriteFn write_fn = nullptr;
  void* context = nullptr;
};

// Mixes interleaved float frames to mono signed 16-bit little-endian into a
// caller's buffer of 2 * (sample_count / channels) bytes: per frame, the
// single-precision sum (from -0.0) of its samples in channel order, divided
// by the channel count, clamped to [-1, 1] (a NaN passes), times 32767,
// truncated toward zero with saturation; a NaN gives 0. The results lie in
// -32767 ... 32767.
// Fails with "incomplete audio frame" when channels is 0 or the sample count
// is not a whole number of frames; 0 samples give no bytes.
vantle::Status convert_block_to_s16le_into(const float* samples, std::uint64_t sample_count,
                                           std::uint64_t channels, std::uint8_t* out);

class BlockAssembler {
 public:
  // block_samples = channels * max(sample_rate / 50, 1): 20 ms of frames.
  // channels is at least 1. A write that waits for its reader ends at `stop`.
  BlockAssembler(std::uint16_t channels, std::uint32_t sample_rate,
                 OutputSink output = OutputSink::standard(vantle::StandardStream::output),
                 vantle::WriteStop stop = {});

  // Takes one chunk (a whole number of frames, at most 1024 samples) into
  // the pending samples; the chunk may be reused as soon as this returns. A
  // chunk whose position does not continue the previous one discards the
  // partial block first; the first chunk never does.
  void append(const FrameChunk& chunk);

  // A run of `frames` frames of silence at `position`, taken like a chunk of
  // zeros that long (a gap before it discards the partial block) and
  // written block by block as the blocks fill, with write_blocks(); the
  // pending samples never hold more than a block.
  void append_silence(std::uint64_t position, std::uint64_t frames,
                      const std::atomic<bool>& running, std::atomic<bool>& output_failed);

  // Converts and writes every full block pending, unless `running` is false
  // (the rest is then discarded) or `output_failed` is set (blocks are then
  // dropped unwritten). A failed conversion or write sets `output_failed`;
  // unless the failure was the reader going away, or a write cut by the stop
  // (it failed once `running` was cleared), its error text is kept as
  // output_error().
  void write_blocks(const std::atomic<bool>& running, std::atomic<bool>& output_failed);

  // The failure that ended the output, when it was not the reader going
  // away: the translator must hear of it. Success otherwise.
  const vantle::Status& output_error() const { return output_error_; }

  // The producer's frame position at which the pending samples make a
  // whole block, if the chunks up to it continue them; 0 before the first
  // chunk, which may start a block anywhere.
  std::uint64_t completing_position() const {
    return has_expected_position_
               ? expected_position_ + (block_samples_ - pending_.size()) / channels_
               : 0;
  }

  std::uint64_t block_samples() const { return block_samples_; }
  std::size_t pending_samples() const { return pending_.size(); }

 private:
  std::uint16_t channels_;
  std::uint64_t block_samples_;
  OutputSink output_;
  vantle::WriteStop stop_;
  // Fewer than block_samples_ samples between calls; room for one more chunk,
  // so appending never reallocates.
  std::vector<float> pending_;
  std::vector<std::uint8_t> block_bytes_;
  bool has_expected_position_ = false;
  std::uint64_t expected_position_ = 0;
  vantle::Status output_error_;
};

}  // namespace vantle_audio
