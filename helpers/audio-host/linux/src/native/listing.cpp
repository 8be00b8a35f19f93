#include "native/listing.h"

#include <map>
#include <set>

#include "native/processes.h"
#include "native/sound_server.h"
#include "native/x11_windows.h"

namespace audio_host::linux_host {
namespace {

constexpr std::uint64_t kConnectTimeoutUsec = 5'000'000;

std::string file_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

std::vector<ApplicationEntry> collect_applications() {
  // PID -> whether one of its playback streams is not corked.
  std::map<std::uint32_t, bool> candidates;
  if (auto connection = SoundServerConnection::connect(kConnectTimeoutUsec)) {
    if (auto streams = list_playback_processes(*connection.value())) {
      candidates = std::move(streams).value();
    }
  }
  for (const std::uint32_t pid : window_process_ids()) {
    candidates.emplace(pid, false);
  }
  std::vector<ApplicationEntry> entries;
  for (const auto& [pid, active] : candidates) {
    auto identity = read_process_identity(pid);
    if (!identity) {
      continue;
    }
    ApplicationEntry entry;
    entry.id = "pid:" + std::to_string(pid);
    entry.label = file_name(identity.value().exe());
    entry.exe = identity.value().exe();
    entry.start_time = identity.value().start_time();
    entry.active = active;
    entries.push_back(std::move(entry));
  }
  return entries;
}

vantle_audio::Status list_applications() {
  return write_application_list(collect_applications());
}

}  // namespace audio_host::linux_host
