#include "dsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace reference_client {
namespace {

std::vector<float> sine(double hz, double amplitude, std::uint32_t rate, std::size_t count) {
  std::vector<float> out(count);
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = float(amplitude * std::sin(2 * std::numbers::pi * hz * double(i) / rate));
  }
  return out;
}

TEST(Dsp, FftMatchesTheDefinitionAndInverts) {
  std::vector<std::complex<double>> data(64);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = {std::cos(0.3 * double(i * i)), std::sin(double(i))};
  }
  const auto original = data;
  fft(data);
  for (const std::size_t k : {0u, 1u, 17u, 63u}) {
    std::complex<double> direct = 0;
    for (std::size_t i = 0; i < original.size(); ++i) {
      direct += original[i] * std::polar(1.0, -2 * std::numbers::pi * double(k * i) / 64);
    }
    EXPECT_NEAR(std::abs(data[k] - direct), 0, 1e-9) << k;
  }
  fft(data, /*inverse=*/true);
  for (std::size_t i = 0; i < data.size(); ++i) {
    EXPECT_NEAR(std::abs(data[i] / 64.0 - original[i]), 0, 1e-12) << i;
  }
  EXPECT_EQ(next_power_of_two(0), 1u);
  EXPECT_EQ(next_power_of_two(1024), 1024u);
  EXPECT_EQ(next_power_of_two(1025), 2048u);
}

// A sine resampled is the same sine at the new rate (in the passband), or
// gone (in the stopband); away from the edges, where the kernel runs off
// the signal.
TEST(Dsp, ResamplesTonesInThePassbandAndRemovesThoseAbove) {
  struct Case {
    std::uint32_t from, to;
    double hz;
    double cutoff;
    bool passes;
  } cases[] = {
      {22050, 48000, 440, 7500, true},    {22050, 48000, 6500, 7500, true},
      {44100, 48000, 1000, 7500, true},   {48000, 48000, 3000, 7500, true},
      {48000, 16000, 2000, 7500, true},   {22050, 48000, 9000, 7500, false},
      {48000, 48000, 12000, 7500, false}, {48000, 48000, 8500, 7500, false},
  };
  for (const Case& c : cases) {
    const auto input = sine(c.hz, 10000, c.from, c.from / 2);
    const auto output = resample(input, c.from, c.to, c.cutoff);
    ASSERT_EQ(output.size(), std::size_t(c.to / 2)) << c.from << "->" << c.to;
    const auto expected = sine(c.hz, c.passes ? 10000 : 0, c.to, output.size());
    double error = 0;
    const std::size_t edge = c.to / 100;  // 10 ms
    for (std::size_t i = edge; i < output.size() - edge; ++i) {
      error += std::pow(double(output[i]) - expected[i], 2);
    }
    const double error_db =
        10 * std::log10(error / double(output.size() - 2 * edge) / (10000.0 * 10000.0 / 2));
    EXPECT_LT(error_db, -60) << c.from << "->" << c.to << " " << c.hz << " Hz";
  }
}

TEST(Dsp, MeasuresOneToneAmongOthers) {
  struct Case {
    double hz, amplitude, other_hz, other_amplitude;
  } cases[] = {
      {440, 1000, 0, 0},         {440, 1000, 554.37, 20000}, {659.25, 3, 440, 10000},
      {1000.5, 50, 1100, 30000}, {554.37, 0, 440, 30000},
  };
  for (const Case& c : cases) {
    auto samples = sine(c.hz, c.amplitude, 48000, 96000);
    const auto other = sine(c.other_hz, c.other_amplitude, 48000, samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) {
      samples[i] += other[i];
    }
    EXPECT_NEAR(tone_amplitude(samples, 48000, c.hz), c.amplitude, 0.01 * c.amplitude + 0.05)
        << c.hz << " beside " << c.other_hz;
  }
}

}  // namespace
}  // namespace reference_client
