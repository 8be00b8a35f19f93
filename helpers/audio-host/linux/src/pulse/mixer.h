// The host's mix: every member stream (one application playback stream,
// recorded through its monitor) on one output clock of exactly 48000 frames
// per second of the monotonic clock, as interleaved float stereo.
//
// Each member has a bounded jitter buffer, allocated when the member is
// created, that adapts to how regularly its deliveries come:
// - It starts playing once it holds its margin plus the largest recent
//   delivery (it primes). The margin starts at its floor (5 ms).
// - A playing member that runs dry is filled with silence (one counted
//   discontinuity) and primes again; the time it stayed dry is how late its
//   delivery came, and its margin grows by that much (at most 100 ms), so
//   that the same hiccup is absorbed next time. A dry spell longer than
//   the largest margin (the server or the machine stopped) is an outage
//   that no margin absorbs: the margin stays as it was.
// - Once it has read for ten seconds without running dry, the margin
//   shrinks back towards its floor (by a quarter of what it is above it
//   each second), and after every second of reading what the buffer held
//   beyond its margin all that second (its least level less the margin:
//   the latency a hiccup, a burst or a stream running slightly fast left
//   behind) is taken out: all of it by skipping near-silent frames as they
//   are read during the next second (no sound is lost), and what found no
//   quiet frames at the end of that second as its oldest frames, at most
//   5 ms of them, counted as dropped. So latency returns to its floor after
//   a hiccup (at once where the stream pauses), and a stream whose clock
//   runs ahead of ours loses its surplus in small steps.
// - What arrives beyond the high-water mark (a burst after a stall) is
//   dropped oldest first at once, down to the priming level, and counted.
// - A corked (paused) member is neither read nor counted: it keeps what it
//   held, and the silence a server feeds to the monitor of a paused stream
//   is not stored, so that it plays on from where it stopped, at the same latency, when it
//   resumes: at once, without priming again, and as soon as sound follows
//   that silence (the host learns of the resume a moment later). A member
//   that primes or resumes skips the quiet frames it holds beyond its
//   priming level.
// Dropped frames and discontinuities are added to the capture pipeline's
// counters (without moving its frame position); frames dropped count only
// when they held sound. With no member playing the mix is silence, so the
// PCM stays continuous. A member whose stream has ended plays out what it
// holds (primed or not) and then leaves the mix; what a member still holds
// when it is removed is counted as dropped.
//
// The clock owes 48000 frames per second whatever happens to the host: time
// the host could not mix (its loop stalled for longer than the stall
// threshold) is written as silence and counted as one discontinuity, spread
// over the next ticks (at most max_push_frames a tick, so that the
// pipeline's queue, 32 chunks of 512 frames, never overflows from it).
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
  std::size_t capacity_frames = 12000;    // 250 ms held per member at most...
  std::size_t high_water_frames = 7200;   // ...and beyond 150 ms the oldest are dropped
  std::size_t floor_margin_frames = 240;  // 5 ms: the least margin a member keeps...
  std::size_t max_margin_frames = 4800;   // ...and the most it grows to
  std::size_t slice_frames = 960;         // frames mixed and pushed at a time
  std::size_t window_frames = 48000;      // reading between two adjustments...
  std::size_t shrink_step_frames = 240;   // ...and at most 5 ms taken out at each
  std::size_t hold_windows = 10;          // windows without running dry before the margin relaxes
  std::size_t stall_frames = 4800;        // a loop 100 ms behind has stalled...
  std::size_t max_push_frames = 4800;     // ...and at most 100 ms goes out per tick
};

// Whether every sample is near silence (below about -100 dBFS).
bool is_quiet(const float* samples, std::size_t sample_count);

// One member stream's jitter buffer.
class MemberBuffer {
 public:
  explicit MemberBuffer(const MixerLimits& limits);
  MemberBuffer(const MemberBuffer&) = delete;
  MemberBuffer& operator=(const MemberBuffer&) = delete;

  // Appends `frames` interleaved stereo frames (the read callback). Beyond the
  // capacity or the high-water mark the oldest frames are dropped down to the
  // priming level, and counted. While corked, silence is not stored.
  void write(const float* samples, std::size_t frames);

  // The stream was corked (paused) or uncorked. A corked member is not read
  // and counts no discontinuity; uncorked, it is read once it has primed.
  void set_corked(bool corked);

  // Its stream has ended: what it holds (and its last fragments, still
  // written after this) is mixed without waiting to prime, and running out
  // of it is the end, not a discontinuity.
  void end() { ending_ = true; }
  // Ended and played out (or corked, so that what it holds never plays).
  bool drained() const { return ending_ && (size_ == 0 || corked_); }

  // Adds up to `frames` frames to `out` (the mixer). A member that is corked
  // or has not primed adds nothing; a playing member that has fewer frames
  // than asked adds what it has, counts one discontinuity and primes again.
  void mix_into(float* out, std::size_t frames);

  // Audio the member lost before it reached the buffer (it played while
  // its monitor was not there yet, or had failed): one discontinuity and
  // `frames` dropped frames.
  void count_lost(std::uint64_t frames);

  // The counts since the last call, reset to zero.
  std::uint64_t take_dropped_frames();
  std::uint64_t take_discontinuities();

  std::size_t buffered_frames() const { return size_; }
  bool playing() const { return playing_; }
  // The margin the buffer keeps against late deliveries.
  std::size_t margin_frames() const { return margin_; }
  // Frames a member holds before it is read: its margin plus the largest
  // delivery of the last two seconds (a backlog larger than half the
  // high-water mark is no delivery), at most half the high-water mark.
  std::size_t prime_level() const;

 private:
  void discard_oldest(std::size_t frames);
  void skip_quiet(std::size_t keep);
  void drop_quiet_beyond_prime();
  void adjust();

  MixerLimits limits_;
  std::vector<float> ring_;  // capacity_frames stereo frames
  std::size_t head_ = 0;     // oldest frame
  std::size_t size_ = 0;     // frames held
  std::size_t margin_ = 0;
  // The largest delivery of this window and of the last one.
  std::size_t window_largest_write_ = 0;
  std::size_t delivery_ = 0;
  // The least held after a read in this window, and the frames read in it.
  std::size_t window_least_ = 0;
  std::size_t window_read_ = 0;
  // Frames to take out: near-silent frames as they are read, the rest at
  // the next adjustment.
  std::size_t shrink_pending_ = 0;
  // Ran dry while playing, and the frames of silence mixed in its place since.
  bool underrun_ = false;
  std::size_t dry_frames_ = 0;
  // Windows read since it last ran dry.
  std::size_t steady_windows_ = 0;
  bool playing_ = false;
  bool corked_ = false;
  bool paused_playing_ = false;     // it was playing when it was corked
  std::size_t corked_silence_ = 0;  // frames of silence written since
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
  // A loop more than stall_frames behind has stalled: what is due is
  // silence (one discontinuity), pushed first. At most max_push_frames go
  // out per tick; the rest follows at the next.
  void tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer);

  // Frames pushed so far, and frames due that are still to go out.
  std::uint64_t frames_pushed() const { return pushed_; }
  std::uint64_t silence_owed() const { return silence_owed_; }
  std::size_t member_count() const { return members_.size(); }

 private:
  MixerLimits limits_;
  std::vector<MemberBuffer*> members_;
  std::vector<float> slice_;  // slice_frames stereo frames
  std::uint64_t start_ns_ = 0;
  std::uint64_t pushed_ = 0;
  std::uint64_t silence_owed_ = 0;
  std::uint64_t pending_dropped_ = 0;
  std::uint64_t pending_discontinuities_ = 0;
};

}  // namespace audio_host
