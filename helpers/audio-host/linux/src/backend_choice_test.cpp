#include "backend_choice.h"

#include <gtest/gtest.h>

namespace audio_host {
namespace {

// Reachable sockets in the tests: those whose path ends in "-up".
bool ends_in_up(const std::string& path) {
  return path.ends_with("-up");
}

TEST(BackendChoice, ForcedOrTheSocketLibpipewireWouldReach) {
  struct Case {
    const char* name;
    BackendEnvironment environment;
    AudioBackend backend;
  };
  const Case cases[] = {
      {"socket in the runtime folder",
       {nullptr, "pipewire-up", nullptr, "/run/user/1"},
       AudioBackend::pipewire},
      {"no server listens", {nullptr, nullptr, nullptr, "/run/user/1"}, AudioBackend::pulseaudio},
      {"an absolute remote", {nullptr, "/tmp/socket-up", nullptr, nullptr}, AudioBackend::pipewire},
      {"forced to PulseAudio",
       {"pulseaudio", "pipewire-up", nullptr, "/run/user/1"},
       AudioBackend::pulseaudio},
      {"forced to PipeWire", {"pipewire", nullptr, nullptr, nullptr}, AudioBackend::pipewire},
      {"set but empty: not forced",
       {"", "pipewire-up", nullptr, "/run/user/1"},
       AudioBackend::pipewire},
  };
  for (const Case& c : cases) {
    const auto chosen = choose_audio_backend(c.environment, &ends_in_up);
    ASSERT_TRUE(chosen) << c.name;
    EXPECT_EQ(chosen.value(), c.backend) << c.name;
  }
}

TEST(BackendChoice, AnUnknownValueIsAnError) {
  for (const char* value : {"PipeWire", "pulse", "jack", " pipewire"}) {
    const auto chosen =
        choose_audio_backend(BackendEnvironment{value, nullptr, nullptr, nullptr}, &ends_in_up);
    ASSERT_FALSE(chosen) << value;
    EXPECT_EQ(chosen.error(), std::string("unknown audio backend: ") + value);
  }
}

TEST(BackendChoice, TheSocketsInLibpipewiresOrder) {
  struct Case {
    BackendEnvironment environment;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {{nullptr, nullptr, nullptr, "/run/user/1"},
       {"/run/user/1/pipewire-0", "/run/pipewire/pipewire-0"}},
      {{nullptr, "other", "/pw", "/run/user/1"}, {"/pw/other", "/run/pipewire/other"}},
      {{nullptr, "", nullptr, nullptr}, {"/run/pipewire/pipewire-0"}},
      {{nullptr, "/abs/socket", "/pw", "/run/user/1"}, {"/abs/socket"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pipewire_socket_candidates(c.environment), c.paths);
  }
}

}  // namespace
}  // namespace audio_host
