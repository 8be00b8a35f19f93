// The processes with a playback node on the PipeWire server, for `--list`:
// each process (by the same rule as the capture, node_rules.h) with whether
// one of its nodes is running. Main thread; the connection lives for one
// call.
#pragma once

#include <cstdint>
#include <map>

#include "result.h"

namespace audio_host::pipewire_host {

// Connects, reads the registry and the playback nodes' and clients' info,
// and disconnects. Nodes of unknown process are left out. Errors:
// "connect to sound server: ...", "list playback streams: ...".
vantle::Result<std::map<std::uint32_t, bool>> list_playback_processes();

}  // namespace audio_host::pipewire_host
