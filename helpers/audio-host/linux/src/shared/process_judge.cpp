#include "shared/process_judge.h"

#include "shared/processes.h"

namespace audio_host::linux_host {

ProcessTable read_ancestry_line(
    std::uint32_t pid, std::uint32_t stop_at,
    const std::function<std::optional<std::uint32_t>(std::uint32_t)>& parent_of) {
  ProcessTable line;
  std::uint32_t current = pid;
  while (current != 0 && current != stop_at && !line.contains(current) &&
         line.size() < kMaxAncestryDepth) {
    const std::optional<std::uint32_t> parent = parent_of(current);
    if (!parent) {
      break;
    }
    line[current] = *parent;
    current = *parent;
  }
  return line;
}

bool ProcessJudge::captured(std::optional<std::uint32_t> pid) const {
  if (!pid) {
    return is_captured(selection_, std::nullopt, ProcessTable());
  }
  const vantle::ProcessHandle held = open_pidfd(*pid);
  if (!held) {
    return false;
  }
  const ProcessTable line = read_ancestry_line(*pid, selection_.root, &read_parent_pid);
  if (!vantle::process_running(held.get())) {
    return false;
  }
  return is_captured(selection_, pid, line);
}

}  // namespace audio_host::linux_host
