// The monitors of the capture's member streams and their mix: one record
// stream per member on the member's monitor (pa_stream_set_monitor_stream),
// its jitter buffer in the mixer, and the life of each monitor: opened when
// a new stream appears (before it is decided, so that its first fragments
// are there if it becomes a member), re-opened when the server fails or
// ends it (at once the first time, then with a growing back-off while it
// keeps failing without delivering), and, when the member's stream has
// ended, kept until the server has sent its last fragments, then played out.
//
// Audio the host cannot have is counted, never silent: a member whose
// monitor began (or came back after a failure) while its stream was
// already sounding lost what played since it appeared (or since the
// failure; for a stream that played before the capture began, when its
// first delivery came late: its sink had rendered that far ahead), and a
// member whose stream ended before its monitor delivered anything lost what
// it played meanwhile; both are counted as dropped frames and a
// discontinuity, the time estimated from when the host learnt of it. A
// member whose monitor cannot be opened at all (the server refuses it) is
// counted as it goes, every quarter second.
//
// Connections. On PulseAudio the monitors share the main connection, which
// delivers each every fragment (and each connection would map a memory pool
// of its own, about 3 MiB resident). PipeWire's PulseAudio service delivers
// the record data of several streams of one connection in bursts far apart,
// and one stream per connection every fragment; but it accepts 64 clients
// at most, the players included. There the monitors get connections of
// their own up to kMaxConnections, one of them kept ready for the next new
// stream (so that its monitor starts without a connection's round trips),
// and share the least used of them beyond. A connection the server refuses
// blocks new ones for a while (doubling up to 2 s), so that a full server
// is not asked 50 times a second, and its monitors go to the others.
//
// Threads: the host's main thread, inside the connection's main loop (the
// streams' callbacks write the buffers; tick() mixes them into the
// pipeline's producer). Nothing is shared or locked; nothing on the data
// path allocates.
//
// Ownership: a MemberMonitors owns its monitors (stream, buffer), its
// connections, the mixer and the monitors that play out; it releases them
// (each stream before its connection, each buffer after it has left the
// mix) when it goes, which must be before the main connection goes. A
// monitor only points at the connection it uses.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "capture.h"
#include "pulse/capture_stopper.h"
#include "pulse/mixer.h"
#include "pulse/sound_server.h"

namespace audio_host::linux_host {

class MemberMonitors {
 public:
  // Connections of the monitors' own on PipeWire's service, at most.
  static constexpr std::size_t kMaxConnections = 16;

  MemberMonitors(SoundServerConnection& connection, CaptureStopper& stopper);
  MemberMonitors(const MemberMonitors&) = delete;
  MemberMonitors& operator=(const MemberMonitors&) = delete;
  ~MemberMonitors();

  // Whether the monitors get connections of their own (PipeWire's
  // service); decided before the first member joins.
  void use_own_connections(bool own) { own_connections_ = own; }

  // A new stream that may become a member: its monitor is opened now and
  // its buffer fills, outside the mix, until the stream is decided.
  void prepare(std::uint32_t sink_input);
  // A prepared stream that does not become a member (or has gone): its
  // monitor goes.
  void discard(std::uint32_t sink_input);
  // A member joins: its monitor is opened (unless it was prepared) and its
  // buffer joins the mix.
  void add(std::uint32_t sink_input, bool corked);
  // The member was corked (paused) or uncorked.
  void set_corked(std::uint32_t sink_input, bool corked);
  // The member's stream has gone: the monitor takes what the server still
  // sends of it (its last fragments, sent before the server ends the
  // monitor), then loses its stream and plays out what its buffer holds,
  // then leaves.
  void end(std::uint32_t sink_input);

  // Starts the mix's clock at `now_ns` (monotonic).
  void start(std::uint64_t now_ns);
  // One tick of the mix's clock: re-opens monitors that are due, tends the
  // connections, mixes what is due at `now_ns` into `producer` and lets
  // drained monitors go.
  void tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer);

  // Connections of the monitors' own (for tests and the benchmark).
  std::size_t connection_count() const { return connections_.size(); }

 private:
  struct Connection {
    MemberMonitors* owner = nullptr;
    UniquePointer<pa_context, &disconnect_context> context;
    std::size_t monitors = 0;  // monitors using it
    bool ready = false;
    bool failed = false;
  };

  struct Monitor {
    MemberMonitors* owner = nullptr;
    std::uint32_t sink_input = 0;
    bool corked = false;
    bool prepared = false;             // not decided yet: outside the mix
    Connection* connection = nullptr;  // null: the main connection
    UniquePointer<pa_stream, &disconnect_stream> stream;
    MemberBuffer buffer;
    std::uint64_t opened_ns = 0;
    bool failed = false;
    std::uint64_t failed_ns = 0;
    unsigned failures_in_row = 0;
    bool had_data = false;
    // Since when the stream may have played without the host hearing it
    // (it appeared, or its monitor failed); 0: nothing is missing. For a
    // stream that played before the capture began, only a first delivery
    // that comes late counts (what its sink had rendered ahead of time
    // before the host held it never reaches the monitor).
    std::uint64_t unheard_since_ns = 0;
    bool only_if_late = false;
    // Its stream has gone (since ended_ns): the monitor reads what the
    // server still sends until the server ends it too, or a grace period
    // passes; then (finished) its buffer plays out.
    std::uint64_t ended_ns = 0;
    bool finished = false;
    explicit Monitor(const MixerLimits& limits) : buffer(limits) {}
  };

  Monitor& create(std::uint32_t sink_input);
  void open(Monitor& monitor);
  void release_stream(Monitor& monitor);
  Connection* pick_connection(std::uint64_t now_ns);
  Connection* new_connection();
  void connect_stream(Monitor& monitor);
  static void mark_failed(Monitor& monitor);
  void reopen_due(std::uint64_t now_ns);
  void tend_connections(std::uint64_t now_ns);
  void finish_ended(std::uint64_t now_ns);
  void release_drained();
  template <class Each>
  void for_each_monitor(Each each);

  static void context_state(pa_context* context, void* userdata);
  static void stream_state(pa_stream* stream, void* userdata);
  static void stream_read(pa_stream* stream, std::size_t bytes, void* userdata);

  SoundServerConnection& connection_;
  CaptureStopper& stopper_;
  bool own_connections_ = false;
  MixerLimits limits_;
  Mixer mixer_;
  // Released after the monitors (declared first, destroyed last).
  std::vector<std::unique_ptr<Connection>> connections_;
  std::uint64_t connect_blocked_until_ns_ = 0;
  unsigned connect_failures_ = 0;
  std::map<std::uint32_t, std::unique_ptr<Monitor>> members_;
  // Monitors of streams that have gone, taking their last fragments or,
  // without their stream, playing out what they hold.
  std::vector<std::unique_ptr<Monitor>> ending_;
};

}  // namespace audio_host::linux_host
