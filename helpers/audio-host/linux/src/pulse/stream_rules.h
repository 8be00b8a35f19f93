// Which process a playback stream belongs to, as a PulseAudio server (or
// PipeWire's PulseAudio service) tells it: only what the stream and its
// client declare. Pure; main thread.
#pragma once

#include <cstdint>
#include <optional>

namespace audio_host::linux_host {

// The process of a stream: the stream's own application.process.id, else
// its client's (PipeWire's PulseAudio service often puts it on the client
// only; its "pipewire.sec.pid" names the service itself and is never read).
// Either property may be missing (null) or malformed.
std::optional<std::uint32_t> stream_process_id(const char* stream_property,
                                               const char* client_property);

}  // namespace audio_host::linux_host
