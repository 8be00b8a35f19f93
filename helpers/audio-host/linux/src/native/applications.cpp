#include "native/applications.h"

#include <map>
#include <set>

#include "backend_choice.h"  // pipewire hook
#include "native/processes.h"
#include "native/sound_server.h"
#include "native/x11_windows.h"
#include "pipewire/playback_listing.h"  // pipewire hook

namespace audio_host::linux_host {
namespace {

constexpr std::uint64_t kConnectTimeoutUsec = 5'000'000;

}  // namespace

std::vector<ApplicationEntry> collect_applications() {
  // PID -> whether one of its playback streams is not corked.
  std::map<std::uint32_t, bool> candidates;
  // pipewire hook: the native PipeWire listing when the backend choice says so.
  if (const auto backend = choose_audio_backend();
      backend && backend.value() == AudioBackend::pipewire) {
    if (auto nodes = pipewire_host::list_playback_processes()) {
      candidates = std::move(nodes).value();
    }
  } else if (auto connection = SoundServerConnection::connect(kConnectTimeoutUsec)) {
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
    entries.push_back(make_application_entry(
        pid, identity.value().exe(), identity.value().start_time(), PathRules::posix, active));
  }
  return entries;
}

vantle::Status list_applications() {
  return write_application_list(collect_applications());
}

}  // namespace audio_host::linux_host
