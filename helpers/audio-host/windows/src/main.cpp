// The audio host's entry point: UTF-16 arguments in, exit status out.
// Parse errors and run errors alike end as one error event on standard error
// and exit status 1. Standard input is never read.
#include <cstdio>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "events.h"
#include "run.h"
#include "text.h"

namespace {

vantle::Status run(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::optional<std::string> argument =
        vantle::utf16_to_utf8_strict(argv[i], std::wcslen(argv[i]));
    if (!argument) {
      return vantle::make_error("arguments must be valid Unicode text");
    }
    arguments.push_back(std::move(*argument));
  }
  auto request = audio_host::parse_command_line(arguments);
  if (!request) {
    return std::move(request).take_error();
  }
  return audio_host::run_request(request.value());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const vantle::Status status = run(argc, argv);
  // Output is written unbuffered; this only matters if anything used stdio.
  std::fflush(stdout);
  if (status.ok()) {
    return 0;
  }
  (void)audio_host::write_event_line(audio_host::error_event(status.error()));
  std::fflush(stdout);
  return 1;
}
