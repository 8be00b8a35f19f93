#include "dsp.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <utility>

namespace reference_client {
namespace {

constexpr double kKernelHalfSeconds = 0.003;

double blackman(double u) {  // u in [-1, 1]
  return 0.42 + 0.5 * std::cos(std::numbers::pi * u) + 0.08 * std::cos(2 * std::numbers::pi * u);
}

double sinc(double x) {
  if (x == 0) {
    return 1;
  }
  const double a = std::numbers::pi * x;
  return std::sin(a) / a;
}

}  // namespace

std::size_t next_power_of_two(std::size_t n) {
  std::size_t p = 1;
  while (p < n) {
    p <<= 1;
  }
  return p;
}

void fft(std::vector<std::complex<double>>& data, bool inverse) {
  const std::size_t n = data.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) {
      j ^= bit;
    }
    j ^= bit;
    if (i < j) {
      std::swap(data[i], data[j]);
    }
  }
  const double sign = inverse ? 1 : -1;
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const std::size_t half = length / 2;
    // Twiddles from the angle directly: no drift over long transforms.
    std::vector<std::complex<double>> twiddle(half);
    for (std::size_t k = 0; k < half; ++k) {
      twiddle[k] = std::polar(1.0, sign * 2 * std::numbers::pi * double(k) / double(length));
    }
    for (std::size_t start = 0; start < n; start += length) {
      for (std::size_t k = 0; k < half; ++k) {
        const auto even = data[start + k];
        const auto odd = data[start + k + half] * twiddle[k];
        data[start + k] = even + odd;
        data[start + k + half] = even - odd;
      }
    }
  }
}

std::vector<float> resample(std::span<const float> input, std::uint32_t from_rate,
                            std::uint32_t to_rate, double cutoff_hz) {
  const std::uint64_t g = std::gcd(from_rate, to_rate);
  const std::uint64_t up = to_rate / g;
  const std::uint64_t down = from_rate / g;
  const std::size_t out_count = static_cast<std::size_t>((input.size() * up + down - 1) / down);
  const auto half = static_cast<std::ptrdiff_t>(std::ceil(kKernelHalfSeconds * from_rate));
  const std::size_t taps = static_cast<std::size_t>(2 * half);
  const double fc = cutoff_hz / from_rate;  // cycles per input sample

  // One row of taps per phase: output time t = i0 + phase / up, taps on
  // input samples k = i0 - half + 1 + j, at distance x = t - k.
  std::vector<float> table(static_cast<std::size_t>(up) * taps);
  for (std::uint64_t phase = 0; phase < up; ++phase) {
    float* row = &table[phase * taps];
    double sum = 0;
    for (std::size_t j = 0; j < taps; ++j) {
      const double x = double(half - 1 - std::ptrdiff_t(j)) + double(phase) / double(up);
      const double u = x / double(half);
      const double h = std::abs(u) >= 1 ? 0 : 2 * fc * sinc(2 * fc * x) * blackman(u);
      row[j] = static_cast<float>(h);
      sum += h;
    }
    for (std::size_t j = 0; j < taps; ++j) {
      row[j] = static_cast<float>(row[j] / sum);  // unity gain at 0 Hz for every phase
    }
  }

  std::vector<float> output(out_count);
  const auto size = static_cast<std::ptrdiff_t>(input.size());
  for (std::size_t m = 0; m < out_count; ++m) {
    const std::uint64_t position = m * down;
    const auto i0 = static_cast<std::ptrdiff_t>(position / up);
    const float* row = &table[(position % up) * taps];
    const std::ptrdiff_t first = i0 - half + 1;
    const std::ptrdiff_t j_begin = std::max<std::ptrdiff_t>(0, -first);
    const std::ptrdiff_t j_end = std::min<std::ptrdiff_t>(std::ptrdiff_t(taps), size - first);
    double acc = 0;
    for (std::ptrdiff_t j = j_begin; j < j_end; ++j) {
      acc += double(row[j]) * input[std::size_t(first + j)];
    }
    output[m] = static_cast<float>(acc);
  }
  return output;
}

double tone_amplitude(std::span<const float> samples, std::uint32_t rate, double hz) {
  const std::size_t n = samples.size();
  if (n < 2) {
    return 0;
  }
  const double step = 2 * std::numbers::pi * hz / rate;
  std::complex<double> sum = 0;
  double window_sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n - 1));
    const double angle = std::fmod(step * double(i), 2 * std::numbers::pi);
    sum += w * double(samples[i]) * std::polar(1.0, -angle);
    window_sum += w;
  }
  return 2 * std::abs(sum) / window_sum;
}

std::vector<float> to_float(std::span<const std::int16_t> samples) {
  return std::vector<float>(samples.begin(), samples.end());
}

}  // namespace reference_client
