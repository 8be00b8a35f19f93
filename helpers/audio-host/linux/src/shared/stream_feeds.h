// Whether a playback stream carries other programs' sound, as the libpulse
// backend tells it (the PipeWire backend applies the same rule to link
// groups, pipewire/node_rules.h): a stream the sound server plays itself (a
// module's, a filter's) is fed by the other half of that module or filter,
// and what feeds it decides. A virtual sink's mix (module-remap-sink, echo-cancel, a combined
// sink) or a recording of a sink's monitor (module-loopback of a monitor)
// carries the streams played into that sink: those streams are captured, or
// left out, each for itself, so the stream that carries them never is (it
// would capture them twice, or the translator's own sound). A recording of
// a real source (a microphone, a Bluetooth phone, a network receiver)
// carries sound no stream has, and is captured like any stream whose
// process is unknown. Pure; main thread.
#pragma once

#include <span>

namespace audio_host::linux_host {

// What feeds a stream, as its backend finds the other half of its module
// or filter.
enum class StreamFeed {
  sink_mix,        // a virtual sink's own input: the mix of what plays into it
  sink_monitor,    // a recording of a sink's monitor
  capture_source,  // a recording of a source that is no sink's monitor
};

// True when any feed is a sink's mix or a sink's monitor. No feeds (a
// stream of a module that records nothing) carries no other stream.
bool carries_other_streams(std::span<const StreamFeed> feeds);

}  // namespace audio_host::linux_host
