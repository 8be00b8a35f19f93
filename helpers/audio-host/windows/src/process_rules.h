// Process selection without the operating system: the parent links of one
// process snapshot and the ancestry rules that keep the translator out of any
// capture, the comparison of a process identity with the one the listing
// showed, and the entries of the application listing with their JSON form.
//
// Pure functions over values; the Windows half that reads snapshots, opens
// processes and enumerates windows is native/processes.h. Everything here
// runs on the host's main thread, and nothing is shared.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "json.h"
#include "result.h"

namespace audio_host {

// Process ID -> the parent process ID recorded in one snapshot. A recorded
// parent may name an unrelated, younger process (IDs are reused), so the
// links need not form a tree.
using ProcessTable = std::map<std::uint32_t, std::uint32_t>;

// Whether `sought` is `start` itself or one of its recorded ancestors. The
// walk follows the recorded parents; PID 0 and a PID missing from the table
// end it with false. A parent link met twice is the error
// "cyclic process ancestry".
vantle_audio::Result<bool> is_on_ancestry_line(const ProcessTable& table, std::uint32_t start,
                                               std::uint32_t sought);

// The checks made before a capture, in order; the first that fails decides
// the message:
//   1. the host (`own_pid`) is recorded with `excluded_pid` as its parent;
//   2. `excluded_pid` (the translator) is in the table;
// and for a `CaptureProcess` request only:
//   3. the target is in the table;
//   4. the target is not the translator nor one of its descendants;
//   5. the target is not one of the translator's ancestors.
// A request without a target (`CaptureSystem`) stops after the second check.
vantle_audio::Status check_ancestry_rules(const HostRequest& request, std::uint32_t excluded_pid,
                                          std::uint32_t own_pid, const ProcessTable& table);

// Executable paths as the identity check compares them: equal length, and
// equal bytes once A-Z are mapped to a-z. Nothing else is folded or
// normalised: non-ASCII letters, separators, prefixes and short names must
// match exactly.
bool same_executable_path(std::string_view path, std::string_view expected);

// Whether a process read now is the instance the translator selected: the
// path first (see same_executable_path), then the exact creation time.
// Fails with "selected process identity changed; refresh the process list".
vantle_audio::Status verify_identity_values(std::string_view exe, std::uint64_t start_time,
                                            std::string_view expected_exe,
                                            std::uint64_t expected_start);

// The part of `path` after its last '\' or '/'; the whole path without one.
std::string_view executable_label(std::string_view path);

// One element of the application listing; the members are written in this
// order.
struct ApplicationEntry {
  std::string id;  // "pid:N", the form --target accepts
  std::string label;
  std::string exe;
  std::uint64_t start_time = 0;  // FILETIME count, unconverted
  bool active = false;           // always false

  friend bool operator==(const ApplicationEntry&, const ApplicationEntry&) = default;
};

ApplicationEntry make_application_entry(std::uint32_t pid, std::string exe,
                                        std::uint64_t start_time);

void write_application_entry(JsonWriter& writer, const ApplicationEntry& entry);

// The whole listing as one compact JSON array, without a line feed.
std::string application_list_json(const std::vector<ApplicationEntry>& entries);

}  // namespace audio_host
