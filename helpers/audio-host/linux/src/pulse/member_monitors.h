// The monitors of the capture's member streams and their mix: one record
// stream per member on the member's monitor (pa_stream_set_monitor_stream),
// its jitter buffer in the mixer, and the life of each monitor: opened when
// the member joins, re-opened when the server fails or ends it (at once the
// first time, then with a growing back-off while it keeps failing without
// delivering), and played out when the member's stream has ended.
//
// On PipeWire's PulseAudio service each monitor has a server connection of
// its own: the service delivers the record data of several streams of one
// connection in bursts hundreds of milliseconds apart, longer than the
// jitter buffers hold, and one stream per connection every fragment. On
// PulseAudio they share the main connection, which delivers each every
// fragment, and each connection would map a memory pool of its own (about
// 3 MiB resident each).
//
// Threads: the host's main thread, inside the connection's main loop (the
// streams' callbacks write the buffers; tick() mixes them into the
// pipeline's producer). Nothing is shared or locked; nothing on the data
// path allocates.
//
// Ownership: a MemberMonitors owns its monitors (stream, own connection,
// buffer), the mixer and the monitors that play out; it releases them (each
// stream before its connection, each buffer after it has left the mix) when
// it goes, which must be before the main connection goes.
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

// Drops a monitor stream: no more callbacks, disconnected if it was
// connecting or connected, then unreferenced.
void disconnect_stream(pa_stream* stream);

class MemberMonitors {
 public:
  MemberMonitors(SoundServerConnection& connection, CaptureStopper& stopper);
  MemberMonitors(const MemberMonitors&) = delete;
  MemberMonitors& operator=(const MemberMonitors&) = delete;
  ~MemberMonitors();

  // Whether each monitor gets a connection of its own (PipeWire's service);
  // decided before the first member joins.
  void use_own_connections(bool own) { own_connections_ = own; }

  // A member joins: its monitor is opened and its buffer joins the mix.
  void add(std::uint32_t sink_input, bool corked);
  // The member was corked (paused) or uncorked.
  void set_corked(std::uint32_t sink_input, bool corked);
  // The member's stream has gone: the monitor loses its stream and
  // connection now and plays out what its buffer holds, then leaves.
  void end(std::uint32_t sink_input);

  // Starts the mix's clock at `now_ns` (monotonic).
  void start(std::uint64_t now_ns);
  // One tick of the mix's clock: re-opens monitors that are due, mixes what
  // is due at `now_ns` into `producer` and lets drained monitors go.
  void tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer);

 private:
  struct Monitor {
    MemberMonitors* owner = nullptr;
    std::uint32_t sink_input = 0;
    bool corked = false;
    // Its own connection (PipeWire's service), released after the stream.
    UniquePointer<pa_context, &disconnect_context> context;
    UniquePointer<pa_stream, &disconnect_stream> stream;
    MemberBuffer buffer;
    std::uint64_t opened_ns = 0;
    bool failed = false;
    std::uint64_t failed_ns = 0;
    unsigned failures_in_row = 0;
    bool had_data = false;
    explicit Monitor(const MixerLimits& limits) : buffer(limits) {}
  };

  void open(Monitor& monitor);
  void connect_stream(Monitor& monitor);
  static void mark_failed(Monitor& monitor);
  void reopen_due(std::uint64_t now_ns);
  void release_drained();

  static void context_state(pa_context* context, void* userdata);
  static void stream_state(pa_stream* stream, void* userdata);
  static void stream_read(pa_stream* stream, std::size_t bytes, void* userdata);

  SoundServerConnection& connection_;
  CaptureStopper& stopper_;
  bool own_connections_ = false;
  MixerLimits limits_;
  Mixer mixer_;
  std::map<std::uint32_t, std::unique_ptr<Monitor>> members_;
  // Monitors of streams that have gone, without their stream and
  // connection, whose buffers still play out what they hold.
  std::vector<std::unique_ptr<Monitor>> ending_;
};

}  // namespace audio_host::linux_host
