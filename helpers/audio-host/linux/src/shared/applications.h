// `--list` on Linux, whatever the backend: the processes that have a
// playback stream on the sound server (as the backend reports them),
// together with those that own a visible X11 top-level window, each once, in
// ascending PID order. Main thread only; the listing holds the standard
// output lock while it writes.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "listing.h"

namespace audio_host::linux_host {

// PID -> whether one of its playback streams is playing (not paused).
using PlayingProcesses = std::map<std::uint32_t, bool>;

// The entries: label is the file name of the executable, active whether the
// process plays. A process whose identity cannot be read is left out. No
// playing process and no display: no entries.
std::vector<ApplicationEntry> collect_applications(const PlayingProcesses& playing);

}  // namespace audio_host::linux_host
