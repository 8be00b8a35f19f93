// Test support for the capture pipeline: a recording output sink, a clock the
// test moves by hand, polling with a generous limit, and a known frame
// sequence whose every 960-frame block tells where it came from.
//
// The sink and the clock are called on the worker thread and read on the
// test's thread; both are guarded (mutex, atomics).
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "pcm_output.h"

namespace vantle_audio::testing {

// One frame mixed to its 16-bit sample, written out step by step and
// independently of the product's conversion: the oracle of the conversion
// tests and the plain scalar loop the benchmark compares against.
inline std::int16_t reference_sample(const float* frame, std::uint64_t channels) {
  float sum = -0.0f;
  for (std::uint64_t c = 0; c < channels; ++c) {
    sum = sum + frame[c];
  }
  float mean = sum / static_cast<float>(channels);
  if (mean < -1.0f) {
    mean = -1.0f;
  }
  if (mean > 1.0f) {
    mean = 1.0f;
  }
  const float scaled = mean * 32767.0f;
  if (std::isnan(scaled)) {
    return 0;
  }
  return static_cast<std::int16_t>(std::trunc(scaled));
}

// Waits until `done()` holds, polling; false after `limit`. The limit only
// guards against a hang: tests never depend on how fast anything is.
template <class Predicate>
bool eventually(Predicate done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Records every unit written; can be told to fail from the n-th write on,
// with an error or as if the reader had gone away.
class RecordingSink {
 public:
  OutputSink sink() { return OutputSink{&RecordingSink::write, this}; }

  void fail_from_write(std::size_t index, bool reader_gone = false) {
    reader_gone_ = reader_gone;
    fail_from_ = static_cast<long long>(index);
  }

  std::vector<std::string> writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }
  std::size_t calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }

 private:
  static vantle::WriteStatus write(void* context, const std::uint8_t* bytes, std::size_t size,
                                   vantle::WriteStop) {
    auto* self = static_cast<RecordingSink*>(context);
    std::lock_guard<std::mutex> lock(self->mutex_);
    const auto index = static_cast<long long>(self->calls_++);
    if (self->fail_from_ >= 0 && index >= self->fail_from_) {
      return vantle::WriteStatus::failed(self->reader_gone_ ? "reader gone" : "disk full",
                                         self->reader_gone_.load());
    }
    self->writes_.emplace_back(reinterpret_cast<const char*>(bytes), size);
    return vantle::WriteStatus::written();
  }

  mutable std::mutex mutex_;
  std::vector<std::string> writes_;
  std::size_t calls_ = 0;
  std::atomic<long long> fail_from_{-1};
  std::atomic<bool> reader_gone_{false};
};

class ManualClock {
 public:
  MonotonicClock clock() {
    reads_before_ = reads_.load();
    return MonotonicClock{&ManualClock::now, this};
  }
  void advance(std::chrono::milliseconds by) {
    now_ns_ += static_cast<std::uint64_t>(by.count()) * 1'000'000u;
  }
  // The worker reads the clock first thing; advancing it before that would
  // only move the worker's start. Waits for a read since clock().
  bool wait_until_read() {
    return eventually([this] { return reads_.load() > reads_before_; });
  }

 private:
  static std::uint64_t now(void* context) {
    auto* self = static_cast<ManualClock*>(context);
    ++self->reads_;
    return self->now_ns_;
  }
  std::atomic<std::uint64_t> now_ns_{1'000'000'000'000u};
  std::atomic<std::uint64_t> reads_{0};
  std::uint64_t reads_before_ = 0;
};

// Sets an environment variable for its lifetime.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
#ifdef _WIN32
    _putenv_s(name, value);
#else
    setenv(name, value, 1);
#endif
  }
  ~ScopedVariable() {
#ifdef _WIN32
    _putenv_s(name_, "");  // removes it
#else
    unsetenv(name_);
#endif
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
};

// The known sequence: frame i of a stereo stream carries a 13-bit code in
// both channels, which the conversion turns into exactly that 16-bit value.
// Frames come in groups of four (i = 4w + phase); the code holds the phase
// and 11 bits of w, so any four aligned frames give i back.
inline std::uint16_t frame_code(std::uint64_t frame) {
  const std::uint64_t phase = frame & 3;
  const std::uint64_t group = frame >> 2;
  return static_cast<std::uint16_t>((phase << 11) | ((group >> (11 * phase)) & 0x7FF));
}

inline float frame_sample(std::uint64_t frame) {
  return (static_cast<float>(frame_code(frame)) + 0.5f) / 32768.0f;
}

// Appends frames [first, first + count) of the sequence, stereo.
inline void append_frames(std::vector<float>& out, std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t i = first; i < first + count; ++i) {
    const float sample = frame_sample(i);
    out.push_back(sample);
    out.push_back(sample);
  }
}

// The index of the first frame of a block of PCM bytes taken from the
// sequence, or nullopt unless the block is exactly consecutive frames of it.
inline std::optional<std::uint64_t> locate_block(const std::string& bytes) {
  const std::size_t frames = bytes.size() / 2;
  std::vector<std::uint16_t> codes(frames);
  for (std::size_t j = 0; j < frames; ++j) {
    codes[j] = static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[2 * j]) |
                                          (static_cast<unsigned char>(bytes[2 * j + 1]) << 8));
  }
  std::size_t j = 0;
  while (j < frames && (codes[j] >> 11) != 0) {
    ++j;
  }
  if (j + 3 >= frames) {
    return std::nullopt;
  }
  std::uint64_t group = 0;
  for (std::uint64_t phase = 0; phase < 3; ++phase) {
    group |= std::uint64_t{codes[j + phase] & 0x7FFu} << (11 * phase);
  }
  if (4 * group < j) {
    return std::nullopt;
  }
  const std::uint64_t first = 4 * group - j;
  for (std::size_t k = 0; k < frames; ++k) {
    if (codes[k] != frame_code(first + k)) {
      return std::nullopt;
    }
  }
  return first;
}

}  // namespace vantle_audio::testing
