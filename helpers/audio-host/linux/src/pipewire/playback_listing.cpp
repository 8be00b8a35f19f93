#include "pipewire/playback_listing.h"

#include "pipewire/connection.h"
#include "pipewire/registry_follower.h"

namespace audio_host::pipewire_host {
namespace {

constexpr std::uint64_t kTimeoutMs = 5'000;

}  // namespace

vantle::Result<std::map<std::uint32_t, bool>> list_playback_processes() {
  constexpr const char* kContext = "list playback streams";
  auto connection = PipeWireConnection::connect(kTimeoutMs);
  if (!connection) {
    return std::move(connection).take_error();
  }
  auto follower = RegistryFollower::start(*connection.value());
  if (!follower) {
    return std::move(follower).take_error();
  }
  // The first round trip brings the globals (and binds the nodes and
  // clients), the second their info.
  for (int trip = 0; trip < 2; ++trip) {
    if (vantle::Status answered = connection.value()->round_trip(kContext, kTimeoutMs); !answered) {
      return vantle::make_error(answered.error());
    }
  }
  return follower.value()->members().playback_processes();
}

}  // namespace audio_host::pipewire_host
