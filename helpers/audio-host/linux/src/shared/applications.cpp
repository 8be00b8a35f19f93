#include "shared/applications.h"

#include "process_rules.h"
#include "shared/process_judge.h"
#include "shared/processes.h"
#include "shared/x11_windows.h"

namespace audio_host::linux_host {
namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

}  // namespace

std::string_view listing_label(std::string_view exe) {
  std::string_view label = executable_label(exe, PathRules::posix);
  if (label.size() > kDeletedSuffix.size() && label.ends_with(kDeletedSuffix)) {
    label.remove_suffix(kDeletedSuffix.size());
  }
  return label;
}

void fold_into_same_program(
    ListedProcesses& processes,
    const std::function<std::optional<std::uint32_t>(std::uint32_t)>& parent_of,
    const std::function<std::optional<std::string>(std::uint32_t)>& executable_of) {
  // Where each playing process goes, decided on the list as it was.
  std::map<std::uint32_t, std::uint32_t> folded;
  for (const auto& [pid, process] : processes) {
    if (!process.plays) {
      continue;
    }
    std::optional<std::uint32_t> into;
    std::uint32_t current = pid;
    for (std::size_t depth = 0; depth < kMaxAncestryDepth; ++depth) {
      const std::optional<std::uint32_t> parent = parent_of(current);
      if (!parent || *parent == 0 || *parent == current) {
        break;
      }
      const auto listed = processes.find(*parent);
      const std::optional<std::string> exe =
          listed != processes.end() ? listed->second.exe : executable_of(*parent);
      if (exe != process.exe) {
        break;
      }
      if (listed != processes.end()) {
        into = *parent;
      }
      current = *parent;
    }
    if (into) {
      folded[pid] = *into;
    }
  }
  for (const auto& [pid, into] : folded) {
    processes[into].active = processes[into].active || processes[pid].active;
  }
  for (const auto& [pid, into] : folded) {
    processes.erase(pid);
  }
}

std::vector<ApplicationEntry> collect_applications(const PlayingProcesses& playing) {
  std::map<std::uint32_t, ProcessIdentity> identities;
  ListedProcesses processes;
  const auto add = [&](std::uint32_t pid, bool plays, bool active) {
    if (!identities.contains(pid)) {
      auto identity = read_process_identity(pid);
      if (!identity) {
        return;
      }
      processes[pid].exe = identity.value().exe();
      identities.emplace(pid, std::move(identity).value());
    }
    ListedProcess& process = processes[pid];
    process.plays = process.plays || plays;
    process.active = process.active || active;
  };
  for (const auto& [pid, active] : playing) {
    add(pid, true, active);
  }
  for (const std::uint32_t pid : window_process_ids()) {
    add(pid, false, false);
  }
  fold_into_same_program(processes, &read_parent_pid, &read_executable);
  std::vector<ApplicationEntry> entries;
  for (const auto& [pid, process] : processes) {
    const ProcessIdentity& identity = identities.at(pid);
    ApplicationEntry entry = make_application_entry(pid, identity.exe(), identity.start_time(),
                                                    PathRules::posix, process.active);
    entry.label = std::string(listing_label(identity.exe()));
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace audio_host::linux_host
