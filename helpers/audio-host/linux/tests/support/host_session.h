// Test support: the host as the translator starts it. A translator
// stand-in (translator-standin) is started as this test's child and starts
// the host as its own direct child; the test reads the host's standard
// output and standard error through the stand-in's pipes. The test process
// is a subreaper, so the host can be waited for even after its translator
// has ended. Test-thread only.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/statistics.h"

namespace test_support {

// Whether the host is expected to capture through PipeWire's own API:
// VANTLE_AUDIO_BACKEND when it forces a backend, else whether the suite runs
// against PipeWire (scripts/with-sound-server pipewire), whose socket the
// host then reaches. (Inline: a program that reads only kFormatLine, such as
// the benchmark through statistics.h, must not link host_session.cpp, which
// makes its program the subreaper.)
inline bool expects_native_pipewire() {
  const char* forced = std::getenv("VANTLE_AUDIO_BACKEND");
  if (forced != nullptr && forced[0] != '\0') {
    return std::string(forced) == "pipewire";
  }
  const char* server = std::getenv("VANTLE_TEST_SOUND_SERVER");
  return server != nullptr && std::string(server) == "pipewire";
}

// The format event line, with the backend the host is expected to use.
inline const std::string kFormatLine =
    std::string(R"({"backend":")") +
    (expects_native_pipewire() ? "pipewire-node-links" : "pulseaudio-stream-monitor") +
    R"(","channels":1,"event":"format","sampleFormat":"s16le","sampleRate":48000})"
    "\n";

inline std::string error_line(const std::string& message) {
  return R"({"code":"capture_failed","event":"error","message":")" + message + "\"}\n";
}

inline std::string host_program() {
  return program_folder() + "audio-host";
}

// The host's arguments for capturing process `pid` as the translator
// would ask for it: the translator's PID placeholder, the target, and the
// identity read from /proc now. Empty (with the reason on standard error)
// when the identity cannot be read.
std::vector<std::string> target_arguments(pid_t pid);

struct TranslatorOptions {
  std::vector<std::string> translator_arguments;  // before "--"
  std::vector<std::string> environment;
  std::vector<std::string> unset;
  std::string stdout_file;  // the host's standard output, instead of the pipe
};

class HostSession {
 public:
  // Starts the stand-in with the host's arguments (placeholders as
  // translator-standin describes them) and waits until both run.
  bool start(const std::vector<std::string>& host_arguments, const TranslatorOptions& options = {});

  Child& translator() { return *translator_; }
  pid_t translator_pid() const { return translator_->pid(); }
  pid_t host_pid() const { return host_pid_; }
  pid_t child_pid() const { return child_pid_; }
  pid_t grandchild_pid() const { return grandchild_pid_; }
  // The stand-in's --pid-file (its --child-on-usr1 writes FILE.usr1).
  std::string pid_file() const { return folder_.path() + "/pids"; }

  // The host's exit status (through the translator when it waits for the
  // host, else directly as its adopter).
  std::optional<int> host_status(Milliseconds timeout);

 private:
  TempFolder folder_;
  std::unique_ptr<Child> translator_ = std::make_unique<Child>();
  pid_t host_pid_ = -1;
  pid_t child_pid_ = -1;
  pid_t grandchild_pid_ = -1;
  bool translator_waits_ = true;
};

}  // namespace test_support
