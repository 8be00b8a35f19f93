// A picture of a capture: time on x (one column per hop), frequency on y
// (0 Hz at the bottom), the level of each band in dB below full scale as a
// colour from black (quiet) through purple, red and yellow to white (loud).
// Faint grid lines mark every second and every kHz. Portable; pure.
#pragma once

#include <cstdint>
#include <span>

#include "png.h"

namespace reference_client {

struct SpectrogramOptions {
  std::uint32_t fft_size = 2048;  // Hann window; rows are its bins (23.4 Hz at 48 kHz)
  std::uint32_t hop = 480;        // samples per column (10 ms at 48 kHz)
  double max_hz = 8000;           // the top row
  double floor_db = -100;         // black; 0 dBFS is white
};

RgbImage spectrogram(std::span<const std::int16_t> samples, std::uint32_t rate,
                     const SpectrogramOptions& options = {});

}  // namespace reference_client
