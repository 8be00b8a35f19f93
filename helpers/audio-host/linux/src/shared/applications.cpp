#include "shared/applications.h"

#include "shared/processes.h"
#include "shared/x11_windows.h"

namespace audio_host::linux_host {

std::vector<ApplicationEntry> collect_applications(const PlayingProcesses& playing) {
  PlayingProcesses candidates = playing;
  for (const std::uint32_t pid : window_process_ids()) {
    candidates.emplace(pid, false);
  }
  std::vector<ApplicationEntry> entries;
  for (const auto& [pid, active] : candidates) {
    auto identity = read_process_identity(pid);
    if (!identity) {
      continue;
    }
    entries.push_back(make_application_entry(
        pid, identity.value().exe(), identity.value().start_time(), PathRules::posix, active));
  }
  return entries;
}

}  // namespace audio_host::linux_host
