#include "pcm_analysis.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

#include "dsp.h"

namespace reference_client {

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

std::string format_summary(const PcmSummary& summary) {
  char line[256];
  std::snprintf(line, sizeof line, "frames=%zu seconds=%.3f peak=%d rms_dbfs=%.2f dominant_hz=%.1f",
                summary.frames, summary.seconds, summary.peak, summary.rms_dbfs,
                summary.dominant_hz);
  return line;
}

}  // namespace reference_client
