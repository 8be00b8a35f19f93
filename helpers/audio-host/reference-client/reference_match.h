// Proof of what a capture holds: how closely it matches a reference
// rendering of the same sound made on its own, and how loud another
// program's tones are in it.
//
// Both signals are band-limited below `cutoff_hz` at the capture's rate (the
// reference resampled to it), so that the sound server's resampler and ours,
// which differ near the top of the band, do not count. The reference is then
// found in the capture by FFT cross-correlation, to a fraction of a sample,
// and the two are compared where they overlap:
//
// - similarity: their normalised cross-correlation there (1 for the same
//   sound at any level, 0 for unrelated sounds). The reference is followed
//   through the capture in quarter-second pieces, each placed within 30 ms of
//   the previous one: a dropout that shifts the rest of the capture (the
//   host fills a stream that ran dry with silence) costs the piece it falls
//   in, not everything after it; the pieces that moved are counted;
// - the other program's level: the aligned reference, scaled to the capture
//   by least squares, is subtracted; each of the other program's tones is
//   measured in what remains with a narrow (Hann-windowed, whole-overlap)
//   DFT bin at its frequency; their summed power is given in dB below the
//   matched speech's power. What the subtraction leaves of the speech is
//   spread over the band, so the measure reaches far below 30 dB.
//
// Portable; pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace reference_client {

inline constexpr double kMatchCutoffHz = 7500;

struct ReferenceMatch {
  bool found = false;         // false: no overlap, or silence on either side
  double similarity = 0;      // normalised cross-correlation over the overlap
  double offset_seconds = 0;  // capture time at which the reference starts (its first piece)
  double compared_from = 0;   // the overlap, in seconds of the reference
  double compared_to = 0;
  double reference_seconds = 0;
  std::size_t pieces = 0;            // quarter-second pieces compared
  std::size_t moves = 0;             // times a piece sat elsewhere than the previous one
  double largest_shift_seconds = 0;  // the farthest a piece sat from the first one's place
  // The other program's tones: each one's level and their sum, in dB below
  // the matched speech (larger is quieter; empty and 0 without tones).
  std::vector<double> tone_db_below;
  double other_db_below = 0;
};

// `capture` at `capture_rate`, `reference` at `reference_rate`;
// `other_hz` are the other program's tone frequencies, all below
// `cutoff_hz`.
ReferenceMatch match_reference(std::span<const std::int16_t> capture, std::uint32_t capture_rate,
                               std::span<const std::int16_t> reference,
                               std::uint32_t reference_rate, std::span<const double> other_hz,
                               double cutoff_hz = kMatchCutoffHz);

// "similarity=0.9980 offset=+0.137s compared=0.000-7.236s of 7.236s
// moved=1/15 largest_shift=11.2ms" and, with tones, " other_db_below=78.4"
// (one line, no LF); "no match" when not found.
std::string format_match(const ReferenceMatch& match);

}  // namespace reference_client
