// The host's mix: every member stream (one application playback stream,
// recorded through its monitor) on one output clock of exactly 48000 frames
// per second of the monotonic clock, as interleaved float stereo.
//
// Each member has a bounded jitter buffer, allocated when the member is
// created. A member is not read until it holds a little audio (it primes).
// A stream whose clock runs slightly fast (the server's drifting against
// ours) fills its buffer slowly: once the least it held over a second of
// reading has grown by more than one delivery over its pace (the highest of
// those least levels in its first three seconds, so that one late delivery
// while it starts does not set the pace too low), its oldest frames are
// dropped back towards that level, at most 5 ms a second.
// A stream that keeps the clock's pace keeps what it held when it began.
// What arrives beyond the high-water mark (a burst, a stream far ahead) is
// dropped oldest first at once, and a playing member that runs dry is filled
// with silence and primes again. Both are counted, never silent: dropped
// frames and discontinuities are added to the capture pipeline's counters
// (without moving its frame position). With no member playing the mix is
// silence, so the PCM stays continuous. A member whose stream has ended
// plays out what it holds (primed or not) and then leaves the mix; what a
// member still holds when it is removed is counted as dropped.
//
// Threads: all of it belongs to the host's main thread, which runs the sound
// server's main loop: the stream read callbacks write into the member
// buffers, the mixer's timer reads them. Nothing is shared, nothing locked.
// Nothing on the data path (MemberBuffer::write, Mixer::tick) allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture.h"
#include "stream_format.h"

namespace audio_host {

inline constexpr std::uint32_t kMixSampleRate = kCaptureSampleRate;
inline constexpr std::uint16_t kMixChannels = kCaptureChannels;

struct MixerLimits {
  std::size_t capacity_frames = 12000;      // 250 ms held per member at most
  std::size_t prime_frames = 960;           // 20 ms before a member is read...
  std::size_t high_water_frames = 6000;     // ...and beyond 125 ms the oldest are dropped
  std::size_t max_catch_up_frames = 9600;   // 200 ms mixed per tick; the rest is skipped
  std::size_t slice_frames = 960;           // frames mixed and pushed at a time
  std::size_t drift_window_frames = 48000;  // reading between two checks for drift...
  std::size_t drift_step_frames = 240;      // ...and at most 5 ms dropped at each...
  std::size_t drift_pace_windows = 3;       // ...after the windows that set the pace
};

// One member stream's jitter buffer.
class MemberBuffer {
 public:
  explicit MemberBuffer(const MixerLimits& limits);
  MemberBuffer(const MemberBuffer&) = delete;
  MemberBuffer& operator=(const MemberBuffer&) = delete;

  // Appends `frames` interleaved stereo frames (the read callback). Beyond the
  // capacity or the high-water mark the oldest frames are dropped down to the
  // priming level, and counted.
  void write(const float* samples, std::size_t frames);

  // The stream was corked (paused) or uncorked. A corked member is not read
  // and counts no discontinuity; uncorked, it is read once it has primed.
  void set_corked(bool corked) {
    corked_ = corked;
    if (corked) {
      playing_ = false;
    }
  }

  // Its stream has ended: what it holds is still mixed, without waiting to
  // prime, and running out of it is the end, not a discontinuity.
  void end() { ending_ = true; }
  // Ended and played out (or corked, so that what it holds never plays).
  bool drained() const { return ending_ && (size_ == 0 || corked_); }

  // Adds up to `frames` frames to `out` (the mixer). A member that is corked
  // or has not primed adds nothing; a playing member that has fewer frames than asked
  // adds what it has, counts one discontinuity and primes again.
  void mix_into(float* out, std::size_t frames);

  // The counts since the last call, reset to zero.
  std::uint64_t take_dropped_frames();
  std::uint64_t take_discontinuities();

  std::size_t buffered_frames() const { return size_; }
  bool playing() const { return playing_; }
  // Frames a member holds before it is read: the base priming level plus the
  // largest single write seen (servers deliver in bursts), at most half the
  // high-water mark.
  std::size_t prime_level() const;

 private:
  void discard_oldest(std::size_t frames);

  MixerLimits limits_;
  std::vector<float> ring_;  // capacity_frames stereo frames
  std::size_t head_ = 0;     // oldest frame
  std::size_t size_ = 0;     // frames held
  std::size_t largest_write_ = 0;
  // The least held after a read since the last drift check, and the frames
  // read since then.
  std::size_t window_least_ = 0;
  std::size_t window_read_ = 0;
  // The stream's pace: the highest of the least levels held over the first
  // pace windows after priming, and how many of those have passed.
  std::size_t baseline_least_ = 0;
  std::size_t baseline_windows_ = 0;
  bool playing_ = false;
  bool corked_ = false;
  bool ending_ = false;
  std::uint64_t dropped_frames_ = 0;
  std::uint64_t discontinuities_ = 0;
};

// The frames of a 48000 Hz clock due `elapsed_ns` after its start:
// floor(elapsed_ns * 48000 / 10^9), without overflow.
std::uint64_t frames_due(std::uint64_t elapsed_ns);

class Mixer {
 public:
  explicit Mixer(const MixerLimits& limits = MixerLimits());

  // Members are added when their stream is created and removed before it is
  // destroyed; a removed member's uncounted losses, and the frames it still
  // held, are passed on at the next tick.
  void add(MemberBuffer* member);
  void remove(MemberBuffer* member);

  // Starts the output clock at `now_ns` (monotonic).
  void start(std::uint64_t now_ns);

  // Mixes every frame due at `now_ns` that has not been pushed yet and
  // pushes it into the capture pipeline's producer, with the losses counted.
  // More than max_catch_up_frames due at once (the main loop stalled) are
  // skipped, the oldest first, and counted as dropped frames.
  void tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer);

  std::uint64_t frames_pushed() const { return pushed_; }
  std::size_t member_count() const { return members_.size(); }

 private:
  MixerLimits limits_;
  std::vector<MemberBuffer*> members_;
  std::vector<float> slice_;  // slice_frames stereo frames
  std::uint64_t start_ns_ = 0;
  std::uint64_t pushed_ = 0;
  std::uint64_t pending_dropped_ = 0;
  std::uint64_t pending_discontinuities_ = 0;
};

}  // namespace audio_host
