// Holds every sink of a PulseAudio server at a low latency while the host
// captures, with one corked record stream on each sink's monitor.
//
// A sink that no program asks for a low latency renders far ahead (a null
// sink two seconds, a sound card's sink its whole buffer): a stream that
// starts then is rendered in one piece, before the host has learnt of it
// and opened its monitor, and that audio never reaches the monitor. A
// record stream on the sink's monitor that asks for a small fragment makes
// the sink render in pieces of that size; corked, it costs nothing else
// (no data flows, and it keeps no sink from suspending). What a sink
// rendered before it was held still plays out first (up to two seconds of
// an idle sink), and a stream that starts meanwhile is rendered late and in
// one piece: a sink that is idle (nothing plays on it, so nobody hears the
// difference) and renders further ahead than that is suspended and resumed
// at once, after its holder, which makes it drop what it rendered. A
// playing sink is left as it is. PipeWire's
// PulseAudio service is not held: there a small fragment pulls the whole
// graph down to a small quantum, and a new stream is not rendered ahead.
//
// Threads: the host's main thread, inside the connection's main loop.
// Ownership: the holders own their record streams (released before the
// connection goes); the sinks' events come from the capture's
// subscription (on_sink_event).
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "pulse/sound_server.h"

namespace audio_host::linux_host {

class SinkLatencyHolders {
 public:
  // `latency_usec`: the render size each sink is held at.
  SinkLatencyHolders(SoundServerConnection& connection, std::uint64_t latency_usec)
      : connection_(connection), latency_usec_(latency_usec) {}
  SinkLatencyHolders(const SinkLatencyHolders&) = delete;
  SinkLatencyHolders& operator=(const SinkLatencyHolders&) = delete;

  // Lists the sinks and holds each; the answers come through the loop.
  // Error: "list sinks: ...".
  vantle::Status hold_all();
  // A sink came or went (the capture's subscription includes sinks).
  void on_sink_event(pa_subscription_event_type_t kind, std::uint32_t sink);

 private:
  void hold(const pa_sink_info& sink);
  static void sink_info(pa_context*, const pa_sink_info* info, int eol, void* userdata);

  SoundServerConnection& connection_;
  std::uint64_t latency_usec_;
  std::map<std::uint32_t, UniqueStream> holders_;  // by sink index
};

}  // namespace audio_host::linux_host
