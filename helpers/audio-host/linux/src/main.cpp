// The Linux audio host's entry point: the stop signals and the standard
// descriptors set up before anything else, the arguments checked as UTF-8,
// then the run sequence every host shares (run.h). Standard input is never
// read.
#include <string>
#include <vector>

#include "platform.h"
#include "run.h"
#include "shared/signals.h"
#include "shared/standard_streams.h"
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
  // A stop signal waits for the capture's signalfd (every thread started
  // later inherits the mask); a reader that goes away shows as EPIPE on the
  // write, never as a signal.
  const vantle::Status signals = audio_host::linux_host::take_stop_signals();
  // Before any file is opened: no pidfd may take a standard descriptor.
  const auto missing = audio_host::linux_host::open_missing_standard_streams();
  audio_host::linux_host::LinuxPlatform platform(missing.output);
  if (!signals) {
    return audio_host::run_host(vantle::make_error(signals.error()), platform);
  }
  return audio_host::run_host(utf8_arguments(argc, argv), platform);
}
