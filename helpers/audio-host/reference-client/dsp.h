// The signal processing the reference client's analysis is built from: an
// FFT, band-limited resampling and filtering with a windowed-sinc kernel,
// and the amplitude of one tone. Portable; pure functions.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace reference_client {

// The smallest power of two that is at least `n` (1 for 0).
std::size_t next_power_of_two(std::size_t n);

// In-place iterative radix-2 FFT; data.size() is a power of two. The inverse
// transform is not scaled (divide by the size).
void fft(std::vector<std::complex<double>>& data, bool inverse = false);

// Resamples `input` from `from_rate` to `to_rate` (any two rates) and keeps
// only what lies below `cutoff_hz`, which must not exceed half the lower
// rate. Output sample m is the input's value at time m / to_rate, so the two
// start together. The kernel is a Blackman-windowed sinc 6 ms long (3 ms
// either side) whatever the rates, so that the same cutoff gives the same
// response at every rate: the passband is flat to about cutoff - 500 Hz, the
// stopband more than 70 dB down from about cutoff + 500 Hz. With equal
// rates this is a linear-phase low-pass filter.
std::vector<float> resample(std::span<const float> input, std::uint32_t from_rate,
                            std::uint32_t to_rate, double cutoff_hz);

// The amplitude of the sine at `hz` in `samples` (at `rate`), from one
// Hann-windowed DFT bin evaluated exactly at `hz` over all the samples. A
// steady tone of amplitude A gives A; other tones more than a few
// rate / size apart leak almost nothing into it.
double tone_amplitude(std::span<const float> samples, std::uint32_t rate, double hz);

std::vector<float> to_float(std::span<const std::int16_t> samples);

}  // namespace reference_client
