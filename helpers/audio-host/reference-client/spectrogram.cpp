#include "spectrogram.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

#include "dsp.h"

namespace reference_client {
namespace {

struct Colour {
  double r, g, b;
};

// Piecewise linear through black, purple, red, yellow and white; t in [0, 1].
Colour heat(double t) {
  static constexpr std::array<Colour, 5> stops = {
      {{0, 0, 0}, {90, 20, 130}, {220, 50, 40}, {250, 200, 40}, {255, 255, 255}}};
  t = std::clamp(t, 0.0, 1.0) * double(stops.size() - 1);
  const std::size_t i = std::min<std::size_t>(std::size_t(t), stops.size() - 2);
  const double f = t - double(i);
  const Colour& a = stops[i];
  const Colour& b = stops[i + 1];
  return {a.r + (b.r - a.r) * f, a.g + (b.g - a.g) * f, a.b + (b.b - a.b) * f};
}

}  // namespace

RgbImage spectrogram(std::span<const std::int16_t> samples, std::uint32_t rate,
                     const SpectrogramOptions& options) {
  RgbImage image;
  const std::size_t n = options.fft_size;
  if (samples.size() < n) {
    return image;
  }
  const double bin_hz = double(rate) / double(n);
  image.width = static_cast<std::uint32_t>((samples.size() - n) / options.hop + 1);
  image.height = static_cast<std::uint32_t>(
      std::min<double>(double(n / 2), std::floor(options.max_hz / bin_hz)));
  image.pixels.assign(std::size_t(image.width) * image.height * 3, 0);

  std::vector<double> window(n);
  double window_sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    window[i] = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n));
    window_sum += window[i];
  }
  // A full-scale sine shows as 0 dB in its bin.
  const double full_scale = 32768.0 * window_sum / 2;
  std::vector<std::complex<double>> data(n);
  for (std::uint32_t x = 0; x < image.width; ++x) {
    const std::size_t start = std::size_t(x) * options.hop;
    for (std::size_t i = 0; i < n; ++i) {
      data[i] = window[i] * samples[start + i];
    }
    fft(data);
    for (std::uint32_t row = 0; row < image.height; ++row) {
      const double magnitude = std::abs(data[row]) / full_scale;
      const double db = 20 * std::log10(std::max(magnitude, 1e-12));
      const Colour c = heat(1 - db / options.floor_db);
      image.set(x, image.height - 1 - row, std::uint8_t(c.r), std::uint8_t(c.g), std::uint8_t(c.b));
    }
  }
  // The grid, dotted, where it is brighter than the picture.
  const auto grid = [&](std::uint32_t x, std::uint32_t y) {
    const std::size_t at = (std::size_t(y) * image.width + x) * 3;
    for (int k = 0; k < 3; ++k) {
      image.pixels[at + k] = std::max<std::uint8_t>(image.pixels[at + k], 96);
    }
  };
  const double columns_per_second = double(rate) / options.hop;
  for (double t = columns_per_second; t < image.width; t += columns_per_second) {
    for (std::uint32_t y = 0; y < image.height; y += 2) {
      grid(std::uint32_t(t), y);
    }
  }
  for (double hz = 1000; hz / bin_hz < image.height; hz += 1000) {
    const auto y = image.height - 1 - std::uint32_t(std::lround(hz / bin_hz));
    for (std::uint32_t x = 0; x < image.width; x += 2) {
      grid(x, y);
    }
  }
  return image;
}

}  // namespace reference_client
