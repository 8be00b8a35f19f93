// Which capture backend the Linux host uses: PipeWire's own API when a
// PipeWire server is reachable, else libpulse (PulseAudio, or PipeWire's
// PulseAudio service). VANTLE_AUDIO_BACKEND=pipewire|pulseaudio forces one
// (for tests, and for users whose PipeWire misbehaves); any other value is
// the error "unknown audio backend: VALUE"; set but empty, it forces nothing.
//
// The socket is looked for the way libpipewire connects: PIPEWIRE_REMOTE
// (default "pipewire-0"), as it is when it is an absolute path, else in
// PIPEWIRE_RUNTIME_DIR or XDG_RUNTIME_DIR, then in /run/pipewire.
// Main thread; reads the environment only.
#pragma once

#include <string>
#include <vector>

#include "result.h"

namespace audio_host {

enum class AudioBackend { pulseaudio, pipewire };

// The environment the choice reads (null: unset).
struct BackendEnvironment {
  const char* forced = nullptr;           // VANTLE_AUDIO_BACKEND
  const char* pipewire_remote = nullptr;  // PIPEWIRE_REMOTE
  const char* pipewire_runtime_dir = nullptr;
  const char* xdg_runtime_dir = nullptr;
};

// The socket paths libpipewire would try, in its order.
std::vector<std::string> pipewire_socket_candidates(const BackendEnvironment& environment);

// The choice; `reachable(path)` tells whether a server accepts connections
// on the socket at `path` (asked only when nothing is forced).
vantle::Result<AudioBackend> choose_audio_backend(const BackendEnvironment& environment,
                                                  bool (*reachable)(const std::string& path));

// The choice for this process: its environment, and a socket that accepts
// a connection (made and closed at once).
vantle::Result<AudioBackend> choose_audio_backend();

}  // namespace audio_host
