// Follows the server's registry for the capture and the listing: binds
// every playback node ("Stream/Output/Audio") and every client to read
// their info (and its changes), records every port from its global, and
// keeps the bookkeeping (graph_members.h) up to date with additions,
// removals and info changes.
//
// A client's checked PID that runs PipeWire's daemon program (its PulseAudio
// service) is recognised from /proc/PID/exe when the client's info comes.
//
// Threads: main thread only; every callback comes from the connection's
// loop.
//
// Ownership: the follower owns the registry proxy, the node and client
// proxies it bound and their listeners, each listener removed before its
// proxy is destroyed. It goes before the connection.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "pipewire/connection.h"
#include "pipewire/graph_members.h"
#include "result.h"

namespace audio_host::pipewire_host {

// Whether process `pid` runs PipeWire's daemon program (its executable read
// from /proc); false when it cannot be read.
bool is_pipewire_daemon_process(std::uint32_t pid);

class RegistryFollower {
 public:
  // Asks for the registry on `connection`; the globals come with the loop.
  static vantle::Result<std::unique_ptr<RegistryFollower>> start(PipeWireConnection& connection);

  RegistryFollower(const RegistryFollower&) = delete;
  RegistryFollower& operator=(const RegistryFollower&) = delete;
  ~RegistryFollower();

  GraphMembers& members() { return members_; }
  const GraphMembers& members() const { return members_; }

 private:
  // A bound node or client: the proxy and the listener on its info.
  struct Bound {
    RegistryFollower* owner = nullptr;
    std::uint32_t id = 0;
    // Released in reverse: the listener, then the proxy.
    UniqueProxy proxy;
    Listener listener;
  };

  RegistryFollower() = default;
  static void global_added(void* userdata, std::uint32_t id, std::uint32_t permissions,
                           const char* type, std::uint32_t version, const spa_dict* props);
  static void global_removed(void* userdata, std::uint32_t id);
  static void node_info(void* userdata, const pw_node_info* info);
  static void group_node_info(void* userdata, const pw_node_info* info);
  static void client_info(void* userdata, const pw_client_info* info);
  std::unique_ptr<Bound> bind(std::uint32_t id, const char* type, std::uint32_t version);

  GraphMembers members_;
  // Released in reverse: the bound objects, then the registry's listener and
  // the registry.
  UniqueProxy registry_;
  Listener registry_listener_;
  std::map<std::uint32_t, std::unique_ptr<Bound>> nodes_;
  std::map<std::uint32_t, std::unique_ptr<Bound>> clients_;
};

}  // namespace audio_host::pipewire_host
