// What the reference client reports about a captured stream of mono s16le
// PCM at 48000 Hz: length, level and the dominant frequency. Portable;
// pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace reference_client {

inline constexpr std::uint32_t kSampleRate = 48000;

struct PcmSummary {
  std::size_t frames = 0;
  double seconds = 0;
  int peak = 0;             // largest absolute sample value
  double rms = 0;           // root mean square, in sample units
  double rms_dbfs = -1000;  // relative to full scale (32767); -1000 for silence
  double dominant_hz = 0;   // strongest frequency, 0 for silence or too little audio
};

PcmSummary summarize(std::span<const std::int16_t> samples);

// The strongest frequency of `samples` (mono, `sample_rate`), from a
// Hann-windowed power spectrum of the first 2^k samples (at most 65536),
// refined between bins. 0 when there are fewer than 1024 samples or no
// signal.
double dominant_frequency(std::span<const std::int16_t> samples, std::uint32_t sample_rate);

// "frames=N seconds=S peak=P rms_dbfs=D dominant_hz=F" (one line, no LF).
std::string format_summary(const PcmSummary& summary);

}  // namespace reference_client
