// The processes that own a visible X11 top-level window, for `--list`.
// Main thread only; the display connection lives for one call.
#pragma once

#include <cstdint>
#include <set>

namespace audio_host::linux_host {

// With a window manager, the windows of its _NET_CLIENT_LIST; without one,
// the viewable children of the root window. Each window's process is the
// one the X server knows made it (the X-Resource extension, which checks
// it), else its _NET_WM_PID; a window with neither is left out. An unset or
// unreachable DISPLAY gives an empty set.
std::set<std::uint32_t> window_process_ids();

}  // namespace audio_host::linux_host
