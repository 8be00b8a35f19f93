// Reading /proc/N/stat without the file system: the two fields the host
// needs, and the start time in the identity's units. Pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace audio_host {

struct ProcStat {
  std::uint32_t parent_pid = 0;   // field 4
  std::uint64_t start_ticks = 0;  // field 22, clock ticks since boot
};

// The fields of one /proc/N/stat line. The command name (field 2) is in
// parentheses and may itself hold spaces and parentheses, so the fields are
// read after the last ')'. nullopt when the line does not have that shape.
std::optional<ProcStat> parse_proc_stat(std::string_view line);

// Clock ticks as the identity's start time: ticks * 10^7 / ticks_per_second,
// that is 100 ns units (truncated), without overflow for any tick count that
// fits. `ticks_per_second` is at least 1.
std::uint64_t start_time_from_ticks(std::uint64_t ticks, std::uint64_t ticks_per_second);

}  // namespace audio_host
