// Process selection without the operating system: the parent links of one
// process snapshot and the ancestry rules that keep the translator out of any
// capture, and the comparison of a process identity with the one the listing
// showed.
//
// Pure functions over values; each host's native layer reads the process
// table and the identities from its system and hands them here. Everything
// here runs on the host's main thread, and nothing is shared.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
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
vantle::Result<bool> is_on_ancestry_line(const ProcessTable& table, std::uint32_t start,
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
vantle::Status check_ancestry_rules(const HostRequest& request, std::uint32_t excluded_pid,
                                    std::uint32_t own_pid, const ProcessTable& table);

// How the platform spells executable paths. Windows paths are compared
// without regard to the case of ASCII letters and separate their parts with
// '\' or '/'; Linux paths are bytes, compared exactly, separated by '/'.
enum class PathRules { windows, posix };

// Executable paths as the identity check compares them: equal length and
// equal bytes, once A-Z are mapped to a-z under the Windows rules. Nothing
// else is folded or normalised: non-ASCII letters, separators, prefixes and
// short names must match exactly.
bool same_executable_path(std::string_view path, std::string_view expected, PathRules rules);

// Whether a process read now is the instance the translator selected: the
// path first (see same_executable_path), then the exact creation time.
// Fails with "selected process identity changed; refresh the process list".
vantle::Status verify_identity_values(std::string_view exe, std::uint64_t start_time,
                                      std::string_view expected_exe, std::uint64_t expected_start,
                                      PathRules rules);

// What a capture takes. Include: `root` (the target) and its descendants.
// Exclude: everything outside the tree of `root` (the translator, whose tree
// holds the host).
struct CaptureSelection {
  enum class Mode { include_tree, exclude_tree };
  Mode mode = Mode::include_tree;
  std::uint32_t root = 0;
  friend bool operator==(const CaptureSelection&, const CaptureSelection&) = default;
};

// The selection of a capture request: the target's tree for `--target pid:N`,
// everything outside the translator's tree for `--target system`.
CaptureSelection capture_selection(const HostRequest& request);

// The rule that keeps the translator out of every capture a host judges by
// process: whether sound of process `pid` is captured, judged on `table`. A
// process the host cannot tell (nullopt) is left out when including and
// taken when excluding. A cycle on the process's chain leaves it out in both
// modes: nothing proves it is outside the translator's tree.
bool is_captured(const CaptureSelection& selection, std::optional<std::uint32_t> pid,
                 const ProcessTable& table);

// The part of `path` after its last separator; the whole path without one.
std::string_view executable_label(std::string_view path, PathRules rules);

}  // namespace audio_host
