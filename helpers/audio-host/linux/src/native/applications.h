// `--list` on Linux: the processes that have a playback stream on the sound
// server, together with those that own a visible X11 top-level window, each
// once, in ascending PID order. Main thread only; the listing holds the
// standard output lock while it writes.
#pragma once

#include <vector>

#include "listing.h"
#include "result.h"

namespace audio_host::linux_host {

// The entries: label is the file name of the executable, active whether the
// process has a playback stream that is not corked. A process whose identity
// cannot be read is left out. No sound server and no display: no entries.
std::vector<ApplicationEntry> collect_applications();

// collect_applications(), then the JSON array on standard output (no line
// feed; write_application_list): one that reaches nobody is an error.
vantle::Status list_applications();

}  // namespace audio_host::linux_host
