#include "reference_match.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "dsp.h"

namespace reference_client {
namespace {

constexpr std::uint32_t kReferenceRate = 22050;
constexpr std::uint32_t kCaptureRate = 48000;
const double kChord[] = {440, 554.37, 659.25};

// Something like speech at 22050 Hz: voiced stretches (harmonics of a
// gliding pitch), noise bursts and pauses, deterministic.
std::vector<std::int16_t> speech_like(std::size_t count, std::uint32_t seed) {
  std::vector<std::int16_t> out(count);
  std::uint32_t state = seed;
  double phase = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double t = double(i) / kReferenceRate;
    const int segment = int(t / 0.25) % 4;
    state = state * 1664525u + 1013904223u;
    const double noise = double(state >> 8) / double(1 << 24) - 0.5;
    double value = 0;
    if (segment == 0 || segment == 2) {
      const double pitch = 110 + 7 * (seed % 10) +
                           40 * std::sin(2 * std::numbers::pi * (1.3 + 0.1 * (seed % 7)) * t);
      phase += 2 * std::numbers::pi * pitch / kReferenceRate;
      for (int h = 1; h <= 25; ++h) {
        value += std::sin(h * phase) / h;
      }
      value *= 6000;
    } else if (segment == 1) {
      value = 9000 * noise;
    }
    out[i] = std::int16_t(std::lround(value));
  }
  return out;
}

// What a capture of the reference looks like: resampled by "the server"
// (its own band edge), starting `delay` seconds into the capture (negative:
// the capture began that late), scaled, with the other program's tones at
// `tones_db` below the speech (none: nan), a little noise, as 16-bit samples.
// With `dropout_ms`, that much silence is put in 1 s into the capture, as a
// host does for a stream that ran dry: the rest comes later.
std::vector<std::int16_t> capture_of(const std::vector<std::int16_t>& reference, double delay,
                                     double gain, double tones_db, double seconds,
                                     double dropout_ms = 0) {
  std::vector<float> source = to_float(reference);
  const std::size_t pad = delay > 0 ? std::size_t(std::lround(delay * kReferenceRate)) : 0;
  const std::size_t cut = delay < 0 ? std::size_t(std::lround(-delay * kReferenceRate)) : 0;
  source.insert(source.begin(), pad, 0.0f);
  source.erase(source.begin(), source.begin() + std::ptrdiff_t(cut));
  std::vector<float> played = resample(source, kReferenceRate, kCaptureRate, 10000);
  played.insert(played.begin() + kCaptureRate, std::size_t(dropout_ms * kCaptureRate / 1000), 0.0f);
  played.resize(std::size_t(seconds * kCaptureRate), 0.0f);
  // The speech's power over the reference's span in the capture.
  const std::size_t first = pad * kCaptureRate / kReferenceRate;
  const std::size_t span =
      std::min(played.size(), source.size() * kCaptureRate / kReferenceRate) - first;
  double power = 0;
  for (float& s : played) {
    s *= float(gain);
    power += double(s) * s;
  }
  power /= double(span);
  std::vector<std::int16_t> out(played.size());
  std::uint32_t state = 7;
  for (std::size_t i = 0; i < out.size(); ++i) {
    double value = played[i];
    if (!std::isnan(tones_db)) {
      // Each tone's power is a third of the chord's.
      const double amplitude = std::sqrt(2 * power / 3 * std::pow(10, -tones_db / 10));
      for (const double hz : kChord) {
        value += amplitude * std::sin(2 * std::numbers::pi * hz * double(i) / kCaptureRate);
      }
    }
    state = state * 1664525u + 1013904223u;
    value += double(state >> 8) / double(1 << 24) - 0.5;
    out[i] = std::int16_t(std::clamp(std::lround(value), -32768L, 32767L));
  }
  return out;
}

TEST(ReferenceMatch, FindsTheReferenceAndMeasuresTheOtherProgram) {
  const auto reference = speech_like(kReferenceRate * 2, 1);  // 2 s
  struct Case {
    const char* name;
    double delay, gain, tones_db;
    double min_similarity, level_tolerance;
    double dropout_ms = 0;
    bool counts_moves = true;  // false: the chord is loud enough to jostle the pieces
  } cases[] = {
      {"alone", 0.4, 0.5, NAN, 0.999, 0},
      {"alone, a fraction of a sample later", 0.40003, 1.0, NAN, 0.999, 0},
      {"alone, the capture began late", -0.3, 0.7, NAN, 0.999, 0},
      {"chord 40 dB down", 0.25, 0.5, 40, 0.999, 1},
      {"chord 20 dB down", 0.25, 0.5, 20, 0.99, 0.5},
      {"chord as loud as the speech", 0.1, 0.5, 0, 0.6, 0.5, 0, false},
      {"chord 10 dB louder", 0.1, 0.2, -10, 0.25, 0.5, 0, false},
      {"alone, an 11 ms dropout", 0.3, 0.5, NAN, 0.93, 0, 11.25},
      {"chord 40 dB down, a 25 ms dropout", 0.3, 0.5, 40, 0.95, 1, 25},
  };
  for (const Case& c : cases) {
    const auto capture = capture_of(reference, c.delay, c.gain, c.tones_db, 3.0, c.dropout_ms);
    const ReferenceMatch match =
        match_reference(capture, kCaptureRate, reference, kReferenceRate, kChord);
    // The delay as capture_of can make it: whole reference samples.
    const double delay = double(std::lround(c.delay * kReferenceRate)) / kReferenceRate;
    ASSERT_TRUE(match.found) << c.name;
    EXPECT_GE(match.similarity, c.min_similarity) << c.name;
    EXPECT_NEAR(match.offset_seconds, delay, 0.2 / kCaptureRate) << c.name;
    EXPECT_NEAR(match.compared_from, std::max(0.0, -delay), 1.0 / kCaptureRate) << c.name;
    EXPECT_NEAR(match.compared_to, 2.0, 1.0 / kCaptureRate) << c.name;
    EXPECT_NEAR(match.reference_seconds, 2.0, 1e-9) << c.name;
    EXPECT_EQ(match.pieces, std::size_t(std::ceil((2.0 - std::max(0.0, -delay)) / 0.25 - 1e-9)))
        << c.name;
    if (c.counts_moves) {
      EXPECT_EQ(match.moves, c.dropout_ms > 0 ? 1u : 0u) << c.name;
      EXPECT_NEAR(match.largest_shift_seconds, c.dropout_ms / 1000, 1e-9) << c.name;
    }
    ASSERT_EQ(match.tone_db_below.size(), 3u) << c.name;
    if (std::isnan(c.tones_db)) {
      // Nothing but the floor: noise, and the speech where a dropout fell.
      EXPECT_GT(match.other_db_below, c.dropout_ms > 0 ? 40 : 60) << c.name;
    } else {
      EXPECT_NEAR(match.other_db_below, c.tones_db, c.level_tolerance) << c.name;
      for (const double db : match.tone_db_below) {
        EXPECT_NEAR(db, c.tones_db + 10 * std::log10(3.0), c.level_tolerance + 0.2) << c.name;
      }
    }
  }
}

TEST(ReferenceMatch, ComparesOnlyWhereTheCaptureHoldsTheReference) {
  const auto reference = speech_like(kReferenceRate * 2, 1);
  // The capture ends 0.5 s into the reference.
  const auto capture = capture_of(reference, 0.5, 0.5, NAN, 1.0);
  const ReferenceMatch match =
      match_reference(capture, kCaptureRate, reference, kReferenceRate, {});
  ASSERT_TRUE(match.found);
  EXPECT_GE(match.similarity, 0.999);
  EXPECT_NEAR(match.compared_from, 0, 1e-9);
  EXPECT_NEAR(match.compared_to, 0.5, 1.0 / kCaptureRate);
  EXPECT_TRUE(match.tone_db_below.empty());
}

TEST(ReferenceMatch, OtherSoundIsNotSimilar) {
  const auto reference = speech_like(kReferenceRate * 2, 1);
  const auto unrelated = capture_of(speech_like(kReferenceRate * 2, 99), 0.2, 0.5, NAN, 3.0);
  const ReferenceMatch other =
      match_reference(unrelated, kCaptureRate, speech_like(kReferenceRate, 5), kReferenceRate, {});
  EXPECT_LT(other.similarity, 0.5);
  // A gap in the middle (lost audio is not filled in) shifts the rest.
  auto gapped = capture_of(reference, 0.2, 0.5, NAN, 3.0);
  gapped.erase(gapped.begin() + 60000, gapped.begin() + 60000 + 4800);
  EXPECT_LT(match_reference(gapped, kCaptureRate, reference, kReferenceRate, {}).similarity, 0.8);
  // Silence matches nothing.
  const std::vector<std::int16_t> silence(kCaptureRate, 0);
  EXPECT_FALSE(match_reference(silence, kCaptureRate, reference, kReferenceRate, kChord).found);
  EXPECT_FALSE(match_reference({}, kCaptureRate, reference, kReferenceRate, kChord).found);
}

TEST(ReferenceMatch, FormatsOneLine) {
  ReferenceMatch match;
  EXPECT_EQ(format_match(match), "no match");
  match.found = true;
  match.similarity = 0.99876;
  match.offset_seconds = -0.0244;
  match.compared_from = 0.025;
  match.compared_to = 8.7;
  match.reference_seconds = 10.689;
  match.pieces = 18;
  match.moves = 1;
  match.largest_shift_seconds = 0.01125;
  EXPECT_EQ(format_match(match),
            "similarity=0.9988 offset=-0.024s compared=0.025-8.700s of 10.689s moved=1/18 "
            "largest_shift=11.2ms");
  match.tone_db_below = {100, 110, 120};
  match.other_db_below = 99.26;
  EXPECT_EQ(format_match(match),
            "similarity=0.9988 offset=-0.024s compared=0.025-8.700s of 10.689s moved=1/18 "
            "largest_shift=11.2ms other_db_below=99.3");
}

}  // namespace
}  // namespace reference_client
