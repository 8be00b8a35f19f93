#include "pcm_analysis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace reference_client {
namespace {

std::vector<std::int16_t> tone(double hz, double amplitude, std::size_t count) {
  std::vector<std::int16_t> samples(count);
  for (std::size_t i = 0; i < count; ++i) {
    samples[i] = static_cast<std::int16_t>(
        amplitude * std::sin(2 * std::numbers::pi * hz * double(i) / kSampleRate));
  }
  return samples;
}

TEST(PcmAnalysis, FindsTheDominantFrequencyOfTones) {
  for (const double hz : {50.0, 440.0, 660.0, 997.0, 12000.0}) {
    const auto samples = tone(hz, 16000, 48000);
    EXPECT_NEAR(dominant_frequency(samples, kSampleRate), hz, 1.0) << hz;
  }
  // A quieter second tone does not win.
  auto mixed = tone(440, 12000, 48000);
  const auto other = tone(3000, 3000, 48000);
  for (std::size_t i = 0; i < mixed.size(); ++i)
    mixed[i] = std::int16_t(mixed[i] + other[i]);
  EXPECT_NEAR(dominant_frequency(mixed, kSampleRate), 440, 1.0);
  // Too little audio or none.
  EXPECT_EQ(dominant_frequency(tone(440, 16000, 1000), kSampleRate), 0);
  EXPECT_EQ(dominant_frequency(std::vector<std::int16_t>(4096, 0), kSampleRate), 0);
}

TEST(PcmAnalysis, LevelsOfKnownSignals) {
  const auto full = tone(1000, 32767, 48000);
  const PcmSummary summary = summarize(full);
  EXPECT_EQ(summary.frames, 48000u);
  EXPECT_DOUBLE_EQ(summary.seconds, 1.0);
  EXPECT_GE(summary.peak, 32766);
  EXPECT_NEAR(summary.rms_dbfs, -3.01, 0.05);  // a full-scale sine

  const PcmSummary silence = summarize(std::vector<std::int16_t>(960, 0));
  EXPECT_EQ(silence.peak, 0);
  EXPECT_EQ(silence.rms_dbfs, -1000);
  const std::int16_t extreme[] = {-32768, 32767};
  EXPECT_EQ(summarize(extreme).peak, 32768);
}

}  // namespace
}  // namespace reference_client
