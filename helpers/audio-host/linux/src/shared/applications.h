// `--list` on Linux, whatever the backend: the processes that have a
// playback stream on the sound server (as the backend reports them),
// together with those that own a visible X11 top-level window, each once, in
// ascending PID order. A program made of several processes of one
// executable (a browser and its audio service, an Electron app) is one
// entry: a playing process whose parents up to a listed process all run its
// executable is folded into that process's entry. Main thread only; the
// listing holds the standard output lock while it writes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "listing.h"

namespace audio_host::linux_host {

// PID -> whether one of its playback streams is playing (not paused).
using PlayingProcesses = std::map<std::uint32_t, bool>;

// The entries: label is the file name of the executable (without the
// " (deleted)" /proc adds when the file was replaced; exe keeps it, as the
// identity check compares it), active whether the process, or one folded
// into it, plays. A process whose identity cannot be read is left out. No
// playing process and no display: no entries.
std::vector<ApplicationEntry> collect_applications(const PlayingProcesses& playing);

// One candidate of the listing, by PID.
struct ListedProcess {
  std::string exe;
  bool plays = false;   // has a playback stream
  bool active = false;  // one of them is playing
};
using ListedProcesses = std::map<std::uint32_t, ListedProcess>;

// Folds every process that plays into the highest listed process above it
// that is reached through parents all running its executable, as
// `parent_of` and `executable_of` read them now; the folded process leaves
// the list and its activity goes to the one it joins. A different program
// on the way (mpv under a terminal's shell) keeps its own entry.
void fold_into_same_program(
    ListedProcesses& processes,
    const std::function<std::optional<std::uint32_t>(std::uint32_t)>& parent_of,
    const std::function<std::optional<std::string>(std::uint32_t)>& executable_of);

// The label of an executable path as /proc gives it.
std::string_view listing_label(std::string_view exe);

}  // namespace audio_host::linux_host
