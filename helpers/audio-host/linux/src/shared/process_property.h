// A process ID as a sound server writes it in a property (PulseAudio's and
// PipeWire's "application.process.id", PipeWire's "pipewire.sec.pid"):
// decimal digits only, not 0. Pure; main thread.
#pragma once

#include <cstdint>
#include <optional>

namespace audio_host::linux_host {

// A missing (null) or malformed value gives nullopt.
std::optional<std::uint32_t> parse_process_id_property(const char* value);

}  // namespace audio_host::linux_host
