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

constexpr double kPieceSeconds = 0.25;
constexpr double kTrackSeconds = 0.03;

Spectrum spectrum_of(std::span<const float> signal, std::size_t size) {
  Spectrum data(size);
  std::copy(signal.begin(), signal.end(), data.begin());
  fft(data);
  return data;
}

// corr[lag + b.size() - 1] = sum over n of a[n + lag] b[n], for every lag at
// which the two overlap: -(b.size() - 1) to a.size() - 1.
std::vector<double> cross_correlation(std::span<const float> a, std::span<const float> b) {
  const std::size_t n = next_power_of_two(a.size() + b.size());
  Spectrum product = spectrum_of(a, n);
  const Spectrum b_spectrum = spectrum_of(b, n);
  for (std::size_t k = 0; k < n; ++k) {
    product[k] *= std::conj(b_spectrum[k]);
  }
  fft(product, /*inverse=*/true);
  std::vector<double> corr(a.size() + b.size() - 1);
  for (std::size_t i = 0; i < corr.size(); ++i) {
    const auto lag = std::ptrdiff_t(i) - std::ptrdiff_t(b.size()) + 1;
    corr[i] = product[std::size_t(lag >= 0 ? lag : std::ptrdiff_t(n) + lag)].real() / double(n);
  }
  return corr;
}

// `signal` delayed by `delay` samples (|delay| <= 0.5) through its spectrum:
// exact for a band-limited signal.
std::vector<float> delayed(std::span<const float> signal, double delay) {
  const std::size_t n = next_power_of_two(signal.size() + 64);
  Spectrum data = spectrum_of(signal, n);
  for (std::size_t k = 0; k < n; ++k) {
    const double frequency = k < n / 2 ? double(k) : double(k) - double(n);  // cycles per n
    data[k] =
        k == n / 2
            ? 0.0
            : data[k] * std::polar(1.0, -2 * std::numbers::pi * frequency * delay / double(n));
  }
  fft(data, /*inverse=*/true);
  std::vector<float> out(signal.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
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

  // The whole reference against the whole capture: where it starts.
  const std::vector<double> corr = cross_correlation(c, r);
  const std::size_t peak = std::size_t(std::max_element(corr.begin(), corr.end()) - corr.begin());
  if (corr[peak] <= 0) {
    return match;  // silence, or nothing alike
  }
  const std::ptrdiff_t lag = std::ptrdiff_t(peak) - std::ptrdiff_t(r.size()) + 1;
  // The peak between samples (a parabola through it and its neighbours).
  double fraction = 0;
  if (peak > 0 && peak + 1 < corr.size()) {
    const double a = corr[peak - 1], b = corr[peak], d = corr[peak + 1];
    if (const double denominator = a - 2 * b + d; denominator < 0) {
      fraction = std::clamp(0.5 * (a - d) / denominator, -0.5, 0.5);
    }
  }
  const std::vector<float> aligned = delayed(r, fraction);

  // The overlap: reference samples [begin, end) against capture [begin + lag, ...).
  const std::ptrdiff_t begin = std::max<std::ptrdiff_t>(0, -lag);
  const std::ptrdiff_t end =
      std::min<std::ptrdiff_t>(std::ptrdiff_t(r.size()), std::ptrdiff_t(c.size()) - lag);
  if (begin >= end) {
    return match;
  }

  // Piece by piece, the reference is followed through the capture within a
  // few milliseconds of where the previous piece was: a dropout that shifts
  // the rest of the capture moves the pieces after it, and costs only the
  // piece it falls in.
  const auto piece = std::ptrdiff_t(kPieceSeconds * capture_rate);
  const auto track = std::ptrdiff_t(kTrackSeconds * capture_rate);
  double total_rr = 0;
  for (std::ptrdiff_t i = begin; i < end; ++i) {
    total_rr += double(aligned[std::size_t(i)]) * aligned[std::size_t(i)];
  }
  const double quiet = 1e-4 * total_rr * double(piece) / double(end - begin);
  std::vector<std::ptrdiff_t> shifts;  // per piece, added to lag
  std::ptrdiff_t shift = 0;
  const auto at = [&](std::ptrdiff_t i) {  // the capture sample for reference sample i
    return i >= 0 && i < std::ptrdiff_t(c.size()) ? double(c[std::size_t(i)]) : 0.0;
  };
  double cc = 0, rr = 0, cr = 0;
  for (std::ptrdiff_t p0 = begin; p0 < end; p0 += piece) {
    const std::ptrdiff_t p1 = std::min(end, p0 + piece);
    const std::span<const float> wanted(&aligned[std::size_t(p0)], std::size_t(p1 - p0));
    double piece_rr = 0;
    for (const float y : wanted) {
      piece_rr += double(y) * y;
    }
    if (piece_rr > quiet) {
      const std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, p0 + lag + shift - track);
      const std::ptrdiff_t to =
          std::min<std::ptrdiff_t>(std::ptrdiff_t(c.size()), p1 + lag + shift + track);
      if (from < to) {
        const std::vector<double> local = cross_correlation(
            std::span<const float>(&c[std::size_t(from)], std::size_t(to - from)), wanted);
        // Lags within the tracking range of the previous piece's place.
        double best = -1;
        for (std::ptrdiff_t s = shift - track; s <= shift + track; ++s) {
          const std::ptrdiff_t index = p0 + lag + s - from + std::ptrdiff_t(wanted.size()) - 1;
          if (index >= 0 && index < std::ptrdiff_t(local.size()) &&
              local[std::size_t(index)] > best) {
            best = local[std::size_t(index)];
            shift = s;
          }
        }
      }
    }
    shifts.push_back(shift);
    for (std::ptrdiff_t i = p0; i < p1; ++i) {
      const double x = at(i + lag + shift), y = aligned[std::size_t(i)];
      cc += x * x;
      rr += y * y;
      cr += x * y;
    }
  }
  if (cc <= 0 || rr <= 0) {
    return match;
  }
  match.found = true;
  match.similarity = cr / std::sqrt(cc * rr);
  // Where the reference starts: the first piece's place.
  match.offset_seconds = (double(lag + shifts.front()) + fraction) / capture_rate;
  match.compared_from = double(begin) / capture_rate;
  match.compared_to = double(end) / capture_rate;
  match.pieces = shifts.size();
  for (std::size_t k = 0; k < shifts.size(); ++k) {
    if (k > 0 && shifts[k] != shifts[k - 1]) {
      ++match.moves;
    }
    match.largest_shift_seconds = std::max(
        match.largest_shift_seconds, double(std::abs(shifts[k] - shifts.front())) / capture_rate);
  }

  if (!other_hz.empty()) {
    // The residual in the capture's own time, so that the other program's
    // tones stay continuous where pieces moved; where no piece lands (the
    // silence of a dropout) it is the capture itself.
    const double gain = cr / rr;
    const std::ptrdiff_t first = std::max<std::ptrdiff_t>(0, begin + lag + shifts.front());
    const std::ptrdiff_t last =
        std::min<std::ptrdiff_t>(std::ptrdiff_t(c.size()), end + lag + shifts.back());
    std::vector<float> residual(c.begin() + first, c.begin() + std::max(first, last));
    for (std::ptrdiff_t i = begin; i < end; ++i) {
      const std::ptrdiff_t m = i + lag + shifts[std::size_t((i - begin) / piece)];
      if (m >= first && m < last) {
        residual[std::size_t(m - first)] =
            static_cast<float>(c[std::size_t(m)] - gain * aligned[std::size_t(i)]);
      }
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
  std::snprintf(line, sizeof line,
                "similarity=%.4f offset=%+.3fs compared=%.3f-%.3fs of %.3fs moved=%zu/%zu "
                "largest_shift=%.1fms",
                match.similarity, match.offset_seconds, match.compared_from, match.compared_to,
                match.reference_seconds, match.moves, match.pieces,
                match.largest_shift_seconds * 1000);
  std::string text = line;
  if (!match.tone_db_below.empty()) {
    std::snprintf(line, sizeof line, " other_db_below=%.1f", match.other_db_below);
    text += line;
  }
  return text;
}

}  // namespace reference_client
