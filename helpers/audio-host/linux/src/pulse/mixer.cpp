#include "pulse/mixer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace audio_host {
namespace {

// About -100 dBFS: what a paused stream's monitor and digital silence give.
constexpr float kQuiet = 1e-5f;

// How many of `frames` frames from `first` (in a ring of `capacity`) hold
// sound.
std::size_t sounding_frames(const std::vector<float>& ring, std::size_t capacity, std::size_t first,
                            std::size_t frames) {
  std::size_t sounding = 0;
  for (std::size_t i = 0; i < frames; ++i) {
    const std::size_t at = (first + i) % capacity;
    sounding += is_quiet(&ring[at * kMixChannels], kMixChannels) ? 0 : 1;
  }
  return sounding;
}

}  // namespace

bool is_quiet(const float* samples, std::size_t sample_count) {
  for (std::size_t i = 0; i < sample_count; ++i) {
    if (std::fabs(samples[i]) >= kQuiet) {
      return false;
    }
  }
  return true;
}

MemberBuffer::MemberBuffer(const MixerLimits& limits)
    : limits_(limits),
      ring_(limits.capacity_frames * kMixChannels, 0.0f),
      margin_(limits.floor_margin_frames) {}

std::size_t MemberBuffer::prime_level() const {
  return std::min(margin_ + delivery_, limits_.high_water_frames / 2);
}

void MemberBuffer::discard_oldest(std::size_t frames) {
  frames = std::min(frames, size_);
  dropped_frames_ += sounding_frames(ring_, limits_.capacity_frames, head_, frames);
  head_ = (head_ + frames) % limits_.capacity_frames;
  size_ -= frames;
}

void MemberBuffer::set_corked(bool corked) {
  if (corked && !corked_) {
    // A pause is no underrun: it neither counts nor grows the margin.
    paused_playing_ = playing_;
    playing_ = false;
    underrun_ = false;
    dry_frames_ = 0;
    corked_silence_ = 0;
  } else if (!corked && corked_) {
    // What it held when it paused is its latency: it plays on from there
    // at once, while its sound comes back.
    playing_ = paused_playing_ && size_ > 0;
    paused_playing_ = false;
    drop_quiet_beyond_prime();
  }
  corked_ = corked;
}

void MemberBuffer::drop_quiet_beyond_prime() {
  shrink_pending_ = size_ > prime_level() ? size_ - prime_level() : 0;
  skip_quiet(prime_level());
  shrink_pending_ = 0;
}

void MemberBuffer::write(const float* samples, std::size_t frames) {
  if (frames == 0) {
    return;
  }
  if (corked_) {
    if (is_quiet(samples, frames * kMixChannels)) {
      corked_silence_ += frames;
      return;  // a paused stream's monitor: neither mixed nor counted
    }
    if (corked_silence_ >= limits_.slice_frames) {
      // Sound after the pause's silence: the stream has resumed, before the
      // host has learnt of it.
      set_corked(false);
    }
  }
  const std::size_t capacity = limits_.capacity_frames;
  if (frames > capacity) {
    for (std::size_t i = 0; i < frames - capacity; ++i) {
      dropped_frames_ += is_quiet(samples + i * kMixChannels, kMixChannels) ? 0 : 1;
    }
    samples += (frames - capacity) * kMixChannels;
    frames = capacity;
  }
  if (frames <= limits_.high_water_frames / 2) {
    // A larger write is a backlog after a stall, not the server's pace.
    window_largest_write_ = std::max(window_largest_write_, frames);
    delivery_ = std::max(delivery_, frames);
  }
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

void MemberBuffer::skip_quiet(std::size_t keep) {
  const std::size_t capacity = limits_.capacity_frames;
  while (shrink_pending_ > 0 && size_ > keep &&
         is_quiet(&ring_[head_ * kMixChannels], kMixChannels)) {
    head_ = (head_ + 1) % capacity;
    --size_;
    --shrink_pending_;
  }
}

void MemberBuffer::mix_into(float* out, std::size_t frames) {
  if (!playing_) {
    if (corked_ || size_ == 0 || (size_ < prime_level() && !ending_)) {
      if (underrun_) {
        dry_frames_ += frames;
      }
      return;
    }
    playing_ = true;
    if (underrun_) {
      // The delivery came this much later than the margin allowed for. A
      // dry spell longer than the largest margin is an outage (the server
      // or the machine stopped): no margin absorbs it, and growing one
      // would only hold latency that a steady stream does not need.
      if (dry_frames_ <= limits_.max_margin_frames) {
        margin_ = std::min(limits_.max_margin_frames, margin_ + dry_frames_);
        steady_windows_ = 0;
      }
      underrun_ = false;
      dry_frames_ = 0;
    }
    window_least_ = size_;
    window_read_ = 0;
    // Quiet frames beyond the priming level (the silence of a pause, or of
    // a stream that had not begun) would only add latency.
    drop_quiet_beyond_prime();
  }
  if (shrink_pending_ > 0) {
    skip_quiet(frames);
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
    playing_ = false;
    if (!ending_) {
      ++discontinuities_;
      underrun_ = true;
      dry_frames_ = frames - available;
    }
    return;
  }
  window_least_ = std::min(window_least_, size_);
  window_read_ += frames;
  if (window_read_ >= limits_.window_frames) {
    adjust();
  }
}

void MemberBuffer::adjust() {
  // What could not be skipped in quiet goes now, oldest first, at most a
  // step of it (sound is given back slowly; silence as fast as it comes).
  if (shrink_pending_ > 0) {
    discard_oldest(std::min({shrink_pending_, limits_.shrink_step_frames, size_}));
    shrink_pending_ = 0;
  }
  // Seconds without running dry: the margin relaxes towards its floor.
  if (++steady_windows_ > limits_.hold_windows) {
    margin_ -= (margin_ - limits_.floor_margin_frames + 3) / 4;
    margin_ = std::max(margin_, limits_.floor_margin_frames);
  }
  // Held beyond the margin all window long: latency to give back. Less than
  // a quarter slice is the phase of reads against deliveries, not latency.
  if (window_least_ > margin_ + limits_.slice_frames / 4) {
    shrink_pending_ = window_least_ - margin_;
  }
  delivery_ = window_largest_write_;
  window_largest_write_ = 0;
  window_least_ = size_;
  window_read_ = 0;
}

void MemberBuffer::count_lost(std::uint64_t frames) {
  dropped_frames_ += frames;
  ++discontinuities_;
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
  silence_owed_ = 0;
}

void Mixer::tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer) {
  const std::uint64_t due = now_ns > start_ns_ ? frames_due(now_ns - start_ns_) : 0;
  if (due <= pushed_) {
    return;
  }
  std::uint64_t behind = due - pushed_;
  // Due beyond what is owed already and far behind: the loop could not
  // run, and all of it is time nothing was mixed. (The members' audio of
  // that time arrives in a burst, beyond their high-water mark.)
  if (behind - silence_owed_ > limits_.stall_frames) {
    silence_owed_ = behind;
    ++pending_discontinuities_;
  }
  std::uint64_t budget = limits_.max_push_frames;
  if (silence_owed_ > 0) {
    const std::uint64_t silence = std::min(silence_owed_, budget);
    producer.push_silence(silence);
    pushed_ += silence;
    silence_owed_ -= silence;
    behind -= silence;
    budget -= silence;
  }
  std::uint64_t wanted = std::min(behind, budget);
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
