// The Linux audio host's entry point: the stop signals set up before
// anything else, the arguments checked as UTF-8, then the run sequence every
// host shares (run.h). Standard input is never read.
#include <string>
#include <vector>

#include "platform.h"
#include "run.h"
#include "shared/signals.h"
#include "text.h"

namespace {

vantle::Result<std::vector<std::string>> utf8_arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::string argument(argv[i]);
    if (!vantle::is_valid_utf8(argument)) {
      return vantle::make_error("arguments must be valid Unicode text");
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away shows as EPIPE on the write, never as a signal;
  // a stop signal waits for the capture's signalfd (every thread started
  // later inherits the mask).
  audio_host::linux_host::ignore_broken_pipe_signal();
  const vantle::Status blocked = audio_host::linux_host::block_stop_signals();
  audio_host::linux_host::LinuxPlatform platform;
  return audio_host::run_host(
      blocked ? utf8_arguments(argc, argv)
              : vantle::Result<std::vector<std::string>>(vantle::make_error(blocked.error())),
      platform);
}
