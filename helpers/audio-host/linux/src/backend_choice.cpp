#include "backend_choice.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "unique_fd.h"

namespace audio_host {
namespace {

bool is_set(const char* value) {
  return value != nullptr && value[0] != '\0';
}

bool unix_socket_accepts(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const vantle::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  return fd && ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address),
                         static_cast<socklen_t>(sizeof address)) == 0;
}

}  // namespace

std::vector<std::string> pipewire_socket_candidates(const BackendEnvironment& environment) {
  const std::string name =
      is_set(environment.pipewire_remote) ? environment.pipewire_remote : "pipewire-0";
  if (name.front() == '/') {
    return {name};
  }
  std::vector<std::string> paths;
  const char* runtime_dir = environment.pipewire_runtime_dir != nullptr
                                ? environment.pipewire_runtime_dir
                                : environment.xdg_runtime_dir;
  if (runtime_dir != nullptr) {
    paths.push_back(std::string(runtime_dir) + "/" + name);
  }
  paths.push_back("/run/pipewire/" + name);
  return paths;
}

vantle::Result<AudioBackend> choose_audio_backend(const BackendEnvironment& environment,
                                                  bool (*reachable)(const std::string& path)) {
  if (is_set(environment.forced)) {
    const std::string_view forced = environment.forced;
    if (forced == "pipewire") {
      return AudioBackend::pipewire;
    }
    if (forced == "pulseaudio") {
      return AudioBackend::pulseaudio;
    }
    return vantle::make_error("unknown audio backend: " + std::string(forced));
  }
  for (const std::string& path : pipewire_socket_candidates(environment)) {
    if (reachable(path)) {
      return AudioBackend::pipewire;
    }
  }
  return AudioBackend::pulseaudio;
}

vantle::Result<AudioBackend> choose_audio_backend() {
  BackendEnvironment environment;
  environment.forced = std::getenv("VANTLE_AUDIO_BACKEND");
  environment.pipewire_remote = std::getenv("PIPEWIRE_REMOTE");
  environment.pipewire_runtime_dir = std::getenv("PIPEWIRE_RUNTIME_DIR");
  environment.xdg_runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  return choose_audio_backend(environment, &unix_socket_accepts);
}

}  // namespace audio_host
