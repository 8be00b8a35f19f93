// Test support for the suites that run against a real sound server (under
// scripts/with-sound-server): tones made with sox, players, and the
// server's view of the playback streams. Test-thread only.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"

namespace test_support {

// Which server the suite runs against ("pulseaudio" or "pipewire"), from the
// environment scripts/with-sound-server sets; empty outside it.
std::string sound_server_kind();

// 30 s stereo 48 kHz tones of the given frequencies, made once per test
// program in a folder of its own.
class Tones {
 public:
  // The WAV file of `hz` (made on first use).
  static std::string file(int hz);
};

// A player of the tone `hz`, unrelated to the translator (a child of the
// test, the translator's sibling).
std::unique_ptr<Child> start_player(int hz);

// The index of the playback stream (sink input) of process `pid`, waiting up
// to `timeout` for it to appear; nullopt when it does not.
std::optional<std::uint32_t> sink_input_of(pid_t pid, Milliseconds timeout);

// A module loaded into the sound server (pactl load-module) for one test,
// unloaded when it goes.
class LoadedModule {
 public:
  explicit LoadedModule(const std::vector<std::string>& arguments);
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;
  ~LoadedModule();
  bool loaded() const { return !index_.empty(); }

 private:
  std::string index_;
};

// Whether a tone of `hz` dominates the PCM window and `other_hz` is at least
// 30 dB below it (explains itself through `why`).
bool tone_dominates(const std::string& pcm, double from_seconds, double to_seconds, int hz,
                    int other_hz, std::string* why);

}  // namespace test_support
