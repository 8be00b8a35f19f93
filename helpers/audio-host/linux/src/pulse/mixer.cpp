#include "pulse/mixer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace audio_host {

MemberBuffer::MemberBuffer(const MixerLimits& limits)
    : limits_(limits), ring_(limits.capacity_frames * kMixChannels, 0.0f) {}

std::size_t MemberBuffer::prime_level() const {
  return std::min(limits_.prime_frames + largest_write_, limits_.high_water_frames / 2);
}

void MemberBuffer::discard_oldest(std::size_t frames) {
  frames = std::min(frames, size_);
  head_ = (head_ + frames) % limits_.capacity_frames;
  size_ -= frames;
  dropped_frames_ += frames;
}

void MemberBuffer::write(const float* samples, std::size_t frames) {
  const std::size_t capacity = limits_.capacity_frames;
  if (frames > capacity) {
    dropped_frames_ += frames - capacity;
    samples += (frames - capacity) * kMixChannels;
    frames = capacity;
  }
  largest_write_ = std::max(largest_write_, frames);
  if (size_ + frames > capacity) {
    discard_oldest(size_ + frames - capacity);
  }
  std::size_t tail = (head_ + size_) % capacity;
  std::size_t left = frames;
  while (left > 0) {
    const std::size_t piece = std::min(left, capacity - tail);
    std::memcpy(&ring_[tail * kMixChannels], samples, piece * kMixChannels * sizeof(float));
    samples += piece * kMixChannels;
    tail = (tail + piece) % capacity;
    left -= piece;
  }
  size_ += frames;
  if (size_ > limits_.high_water_frames) {
    discard_oldest(size_ - prime_level());
  }
}

void MemberBuffer::mix_into(float* out, std::size_t frames) {
  if (!playing_) {
    if (corked_ || size_ == 0 || (size_ < prime_level() && !ending_)) {
      return;
    }
    playing_ = true;
    window_least_ = size_;
    window_read_ = 0;
    baseline_least_ = 0;
    baseline_windows_ = 0;
  }
  const std::size_t capacity = limits_.capacity_frames;
  const std::size_t available = std::min(frames, size_);
  std::size_t done = 0;
  while (done < available) {
    const std::size_t piece = std::min(available - done, capacity - head_);
    const float* from = &ring_[head_ * kMixChannels];
    float* to = out + done * kMixChannels;
    for (std::size_t i = 0; i < piece * kMixChannels; ++i) {
      to[i] += from[i];
    }
    head_ = (head_ + piece) % capacity;
    size_ -= piece;
    done += piece;
  }
  if (available < frames) {
    if (!ending_) {
      ++discontinuities_;
    }
    playing_ = false;
    return;
  }
  // Drift: the least a buffer holds over a window of reading is steady
  // while the stream keeps the clock's pace. Once it has grown by more than
  // one delivery over the pace, the stream runs ahead, and the surplus goes
  // a little at a time.
  window_least_ = std::min(window_least_, size_);
  window_read_ += frames;
  if (window_read_ >= limits_.drift_window_frames) {
    if (baseline_windows_ < limits_.drift_pace_windows) {
      baseline_least_ = std::max(baseline_least_, window_least_);
      ++baseline_windows_;
    } else if (window_least_ > baseline_least_ + largest_write_) {
      discard_oldest(std::min(window_least_ - baseline_least_, limits_.drift_step_frames));
    }
    window_least_ = size_;
    window_read_ = 0;
  }
}

std::uint64_t MemberBuffer::take_dropped_frames() {
  return std::exchange(dropped_frames_, 0);
}

std::uint64_t MemberBuffer::take_discontinuities() {
  return std::exchange(discontinuities_, 0);
}

std::uint64_t frames_due(std::uint64_t elapsed_ns) {
  constexpr std::uint64_t kNsPerSecond = 1'000'000'000;
  return elapsed_ns / kNsPerSecond * kMixSampleRate +
         elapsed_ns % kNsPerSecond * kMixSampleRate / kNsPerSecond;
}

Mixer::Mixer(const MixerLimits& limits)
    : limits_(limits), slice_(limits.slice_frames * kMixChannels, 0.0f) {
  members_.reserve(64);
}

void Mixer::add(MemberBuffer* member) {
  members_.push_back(member);
}

void Mixer::remove(MemberBuffer* member) {
  const auto found = std::find(members_.begin(), members_.end(), member);
  if (found != members_.end()) {
    pending_dropped_ += member->take_dropped_frames() + member->buffered_frames();
    pending_discontinuities_ += member->take_discontinuities();
    members_.erase(found);
  }
}

void Mixer::start(std::uint64_t now_ns) {
  start_ns_ = now_ns;
  pushed_ = 0;
}

void Mixer::tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer) {
  const std::uint64_t due = now_ns > start_ns_ ? frames_due(now_ns - start_ns_) : 0;
  if (due <= pushed_) {
    return;
  }
  std::uint64_t wanted = due - pushed_;
  if (wanted > limits_.max_catch_up_frames) {
    const std::uint64_t skipped = wanted - limits_.max_catch_up_frames;
    pending_dropped_ += skipped;
    pushed_ += skipped;
    wanted = limits_.max_catch_up_frames;
  }
  while (wanted > 0) {
    const auto frames =
        static_cast<std::size_t>(std::min<std::uint64_t>(wanted, limits_.slice_frames));
    std::fill_n(slice_.begin(), frames * kMixChannels, 0.0f);
    for (MemberBuffer* member : members_) {
      member->mix_into(slice_.data(), frames);
    }
    producer.push_samples(slice_.data(), std::uint64_t{frames} * kMixChannels);
    pushed_ += frames;
    wanted -= frames;
  }
  for (MemberBuffer* member : members_) {
    pending_dropped_ += member->take_dropped_frames();
    pending_discontinuities_ += member->take_discontinuities();
  }
  if (pending_dropped_ != 0 || pending_discontinuities_ != 0) {
    producer.count_losses(std::exchange(pending_dropped_, 0),
                          std::exchange(pending_discontinuities_, 0));
  }
}

}  // namespace audio_host
