// The Linux audio host's entry point: UTF-8 arguments in, exit status out.
// Parse errors and run errors alike end as one error event on standard error
// and exit status 1. Standard input is never read.
#include <string>
#include <vector>

#include "command_line.h"
#include "events.h"
#include "native/signals.h"
#include "run.h"
#include "text.h"

namespace {

vantle::Status run(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::string argument(argv[i]);
    if (!vantle::is_valid_utf8(argument)) {
      return vantle::make_error("arguments must be valid Unicode text");
    }
    arguments.push_back(std::move(argument));
  }
  auto request = audio_host::parse_command_line(arguments);
  if (!request) {
    return std::move(request).take_error();
  }
  return audio_host::run_request(request.value());
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that goes away shows as EPIPE on the write, never as a signal.
  audio_host::linux_host::ignore_broken_pipe_signal();
  const vantle::Status status = run(argc, argv);
  if (status.ok()) {
    return 0;
  }
  (void)audio_host::write_event_line(audio_host::error_event(status.error()));
  return 1;
}
