// Which playback streams a capture takes, without the sound server: the
// process a stream belongs to, and whether that process is in the captured
// set. Pure functions over values; main thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "process_rules.h"

namespace audio_host {

// A process ID as the sound server writes it in a property
// ("application.process.id"): decimal digits only, not 0. A missing (null)
// or malformed value gives nullopt.
std::optional<std::uint32_t> parse_process_id_property(const char* value);

// The process of a stream: the stream's own property, else its client's.
// (PipeWire's PulseAudio service often puts it on the client only. Its
// "pipewire.sec.pid" names the service itself and is never read.)
std::optional<std::uint32_t> stream_process_id(const char* stream_property,
                                               const char* client_property);

// What a capture takes. Include: `root` (the target) and its descendants.
// Exclude: everything outside the tree of `root` (the translator, whose tree
// holds the host).
struct CaptureSelection {
  enum class Mode { include_tree, exclude_tree };
  Mode mode = Mode::include_tree;
  std::uint32_t root = 0;
};

// Whether a stream of process `pid` is captured, judged on `table`. A stream
// of unknown process is left out when including and taken when excluding. A
// cycle on the process's chain leaves the stream out in both modes: nothing
// proves it is outside the translator's tree.
bool stream_is_captured(const CaptureSelection& selection, std::optional<std::uint32_t> pid,
                        const ProcessTable& table);

}  // namespace audio_host
