#include "reference_match.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>

#include "dsp.h"

namespace reference_client {
namespace {

using Spectrum = std::vector<std::complex<double>>;

Spectrum spectrum_of(const std::vector<float>& signal, std::size_t size) {
  Spectrum data(size);
  std::copy(signal.begin(), signal.end(), data.begin());
  fft(data);
  return data;
}

// The reference delayed by `delay` samples (|delay| <= 0.5), from its
// spectrum: exact for a band-limited signal.
std::vector<float> delayed(const Spectrum& spectrum, double delay, std::size_t length) {
  const std::size_t n = spectrum.size();
  Spectrum data(n);
  for (std::size_t k = 0; k < n; ++k) {
    const double frequency = k < n / 2 ? double(k) : double(k) - double(n);  // cycles per n
    data[k] =
        k == n / 2
            ? 0.0
            : spectrum[k] * std::polar(1.0, -2 * std::numbers::pi * frequency * delay / double(n));
  }
  fft(data, /*inverse=*/true);
  std::vector<float> out(length);
  for (std::size_t i = 0; i < length; ++i) {
    out[i] = static_cast<float>(data[i].real() / double(n));
  }
  return out;
}

}  // namespace

ReferenceMatch match_reference(std::span<const std::int16_t> capture, std::uint32_t capture_rate,
                               std::span<const std::int16_t> reference,
                               std::uint32_t reference_rate, std::span<const double> other_hz,
                               double cutoff_hz) {
  ReferenceMatch match;
  match.reference_seconds = double(reference.size()) / reference_rate;
  const std::vector<float> c = resample(to_float(capture), capture_rate, capture_rate, cutoff_hz);
  const std::vector<float> r =
      resample(to_float(reference), reference_rate, capture_rate, cutoff_hz);
  if (c.empty() || r.empty()) {
    return match;
  }

  // corr[lag] = sum c[n + lag] r[n]: the reference starting at capture
  // sample `lag` (negative lags wrap to the end).
  const std::size_t n = next_power_of_two(c.size() + r.size());
  const Spectrum capture_spectrum = spectrum_of(c, n);
  const Spectrum reference_spectrum = spectrum_of(r, n);
  Spectrum corr(n);
  for (std::size_t k = 0; k < n; ++k) {
    corr[k] = capture_spectrum[k] * std::conj(reference_spectrum[k]);
  }
  fft(corr, /*inverse=*/true);
  const auto value = [&](std::ptrdiff_t lag) {
    return corr[std::size_t(lag >= 0 ? lag : std::ptrdiff_t(n) + lag)].real();
  };
  const auto first_lag = -std::ptrdiff_t(r.size()) + 1;
  const auto last_lag = std::ptrdiff_t(c.size()) - 1;
  std::ptrdiff_t lag = first_lag;
  for (std::ptrdiff_t l = first_lag; l <= last_lag; ++l) {
    if (value(l) > value(lag)) {
      lag = l;
    }
  }
  if (value(lag) <= 0) {
    return match;  // silence, or nothing alike
  }
  // The peak between samples (parabola through it and its neighbours).
  double fraction = 0;
  if (lag > first_lag && lag < last_lag) {
    const double a = value(lag - 1), b = value(lag), d = value(lag + 1);
    const double denominator = a - 2 * b + d;
    if (denominator < 0) {
      fraction = std::clamp(0.5 * (a - d) / denominator, -0.5, 0.5);
    }
  }
  const std::vector<float> aligned = delayed(reference_spectrum, fraction, r.size());

  // The overlap: reference samples [begin, end) against capture [begin + lag, ...).
  const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(0, -lag);
  const std::ptrdiff_t end =
      std::min<std::ptrdiff_t>(std::ptrdiff_t(r.size()), std::ptrdiff_t(c.size()) - lag);
  double cc = 0, rr = 0, cr = 0;
  for (std::ptrdiff_t i = begin; i < end; ++i) {
    const double x = c[std::size_t(i + lag)], y = aligned[std::size_t(i)];
    cc += x * x;
    rr += y * y;
    cr += x * y;
  }
  if (cc <= 0 || rr <= 0) {
    return match;
  }
  match.found = true;
  match.similarity = cr / std::sqrt(cc * rr);
  match.offset_seconds = (double(lag) + fraction) / capture_rate;
  match.compared_from = double(begin) / capture_rate;
  match.compared_to = double(end) / capture_rate;

  if (!other_hz.empty()) {
    const double gain = cr / rr;
    std::vector<float> residual(std::size_t(end - begin));
    for (std::ptrdiff_t i = begin; i < end; ++i) {
      residual[std::size_t(i - begin)] =
          static_cast<float>(c[std::size_t(i + lag)] - gain * aligned[std::size_t(i)]);
    }
    const double speech_power = gain * gain * rr / double(end - begin);
    double other_power = 0;
    for (const double hz : other_hz) {
      const double amplitude = tone_amplitude(residual, capture_rate, hz);
      const double power = std::max(amplitude * amplitude / 2, 1e-30);
      match.tone_db_below.push_back(10 * std::log10(speech_power / power));
      other_power += power;
    }
    match.other_db_below = 10 * std::log10(speech_power / other_power);
  }
  return match;
}

std::string format_match(const ReferenceMatch& match) {
  if (!match.found) {
    return "no match";
  }
  char line[256];
  std::snprintf(line, sizeof line, "similarity=%.4f offset=%+.3fs compared=%.3f-%.3fs of %.3fs",
                match.similarity, match.offset_seconds, match.compared_from, match.compared_to,
                match.reference_seconds);
  std::string text = line;
  if (!match.tone_db_below.empty()) {
    std::snprintf(line, sizeof line, " other_db_below=%.1f", match.other_db_below);
    text += line;
  }
  return text;
}

}  // namespace reference_client
