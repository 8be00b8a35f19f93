// Whether the sound of a process is captured, for every Linux backend: the
// capture's selection (is_captured of the core) judged on the process's
// ancestry line as /proc tells it at the moment of the decision, read while
// a pidfd holds the process, so that the line read belongs to the process
// that plays. PIDs are reused (within minutes where pid_max is 32768): a
// table read earlier could hold a dead process's parent for a new process
// with its PID. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "process_rules.h"

namespace audio_host::linux_host {

// The links of `pid`'s ancestry line, as `parent_of` reads them: from `pid`
// up to `stop_at` (not read), PID 0, a link met twice (the cycle stays in
// the table for the walk to find) or a process that cannot be read, whose
// link is then missing. At most `kMaxAncestryDepth` links.
inline constexpr std::size_t kMaxAncestryDepth = 4096;
ProcessTable read_ancestry_line(
    std::uint32_t pid, std::uint32_t stop_at,
    const std::function<std::optional<std::uint32_t>(std::uint32_t)>& parent_of);

class ProcessJudge {
 public:
  explicit ProcessJudge(const CaptureSelection& selection) : selection_(selection) {}

  // Whether `pid`'s sound is captured. A process the server does not tell
  // (nullopt) is left out when including and taken when excluding; a
  // process that has ended (or ends while it is judged) is left out in both
  // modes: nothing shows where it belonged.
  bool captured(std::optional<std::uint32_t> pid) const;

 private:
  CaptureSelection selection_;
};

}  // namespace audio_host::linux_host
