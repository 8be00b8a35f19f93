#include "pcm_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

namespace reference_client {
namespace {

void put_u16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
}

// In-place iterative radix-2 FFT; data.size() is a power of two.
void fft(std::vector<std::complex<double>>& data) {
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
  for (std::size_t length = 2; length <= n; length <<= 1) {
    const double angle = -2 * std::numbers::pi / static_cast<double>(length);
    const std::complex<double> step(std::cos(angle), std::sin(angle));
    for (std::size_t start = 0; start < n; start += length) {
      std::complex<double> w(1);
      for (std::size_t k = 0; k < length / 2; ++k) {
        const auto even = data[start + k];
        const auto odd = data[start + k + length / 2] * w;
        data[start + k] = even + odd;
        data[start + k + length / 2] = even - odd;
        w *= step;
      }
    }
  }
}

}  // namespace

std::vector<std::int16_t> decode_s16le(std::span<const std::uint8_t> bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return samples;
}

double dominant_frequency(std::span<const std::int16_t> samples, std::uint32_t sample_rate) {
  std::size_t n = 1;
  while (n * 2 <= std::min<std::size_t>(samples.size(), 65536)) {
    n *= 2;
  }
  if (n < 1024) {
    return 0;
  }
  std::vector<std::complex<double>> data(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double hann = 0.5 - 0.5 * std::cos(2 * std::numbers::pi * double(i) / double(n - 1));
    data[i] = hann * samples[i];
  }
  fft(data);
  std::size_t best = 0;
  double best_power = 0;
  for (std::size_t k = 1; k < n / 2; ++k) {  // bin 0 is DC
    const double power = std::norm(data[k]);
    if (power > best_power) {
      best_power = power;
      best = k;
    }
  }
  if (best == 0) {
    return 0;
  }
  // Parabolic interpolation on log magnitudes of the peak and its neighbours.
  double offset = 0;
  if (best + 1 < n / 2) {
    const double a = std::log(std::abs(data[best - 1]) + 1e-12);
    const double b = std::log(std::abs(data[best]) + 1e-12);
    const double c = std::log(std::abs(data[best + 1]) + 1e-12);
    const double denominator = a - 2 * b + c;
    if (denominator != 0) {
      offset = 0.5 * (a - c) / denominator;
    }
  }
  return (static_cast<double>(best) + offset) * sample_rate / static_cast<double>(n);
}

PcmSummary summarize(std::span<const std::int16_t> samples) {
  PcmSummary summary;
  summary.frames = samples.size();
  summary.seconds = static_cast<double>(samples.size()) / kSampleRate;
  double sum_of_squares = 0;
  for (const std::int16_t s : samples) {
    summary.peak = std::max(summary.peak, std::abs(static_cast<int>(s)));
    sum_of_squares += static_cast<double>(s) * s;
  }
  if (!samples.empty()) {
    summary.rms = std::sqrt(sum_of_squares / static_cast<double>(samples.size()));
  }
  if (summary.rms > 0) {
    summary.rms_dbfs = 20 * std::log10(summary.rms / 32767.0);
  }
  summary.dominant_hz = dominant_frequency(samples, kSampleRate);
  return summary;
}

std::string wav_header(std::uint32_t sample_rate, std::uint32_t data_bytes) {
  std::string header = "RIFF";
  put_u32(header, 36 + data_bytes);
  header += "WAVEfmt ";
  put_u32(header, 16);  // fmt chunk size
  put_u16(header, 1);   // PCM
  put_u16(header, 1);   // mono
  put_u32(header, sample_rate);
  put_u32(header, sample_rate * 2);  // bytes per second
  put_u16(header, 2);                // block align
  put_u16(header, 16);               // bits per sample
  header += "data";
  put_u32(header, data_bytes);
  return header;
}

std::string format_summary(const PcmSummary& summary) {
  char line[256];
  std::snprintf(line, sizeof line, "frames=%zu seconds=%.3f peak=%d rms_dbfs=%.2f dominant_hz=%.1f",
                summary.frames, summary.seconds, summary.peak, summary.rms_dbfs,
                summary.dominant_hz);
  return line;
}

}  // namespace reference_client
