// Feeds arbitrary argument lists to the command-line parser. Every outcome
// must be a well-formed request or one of the parser's own messages.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "command_line.h"

namespace {

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Arguments are separated by NUL bytes; an empty input is no argument.
  std::vector<std::string> arguments;
  if (size > 0) {
    arguments.emplace_back();
    for (std::size_t i = 0; i < size; ++i) {
      if (data[i] == 0) {
        arguments.emplace_back();
      } else {
        arguments.back().push_back(static_cast<char>(data[i]));
      }
    }
  }
  static const std::set<std::string> kMessages = {
      "arguments must be flag/value pairs",
      "unknown or duplicate argument",
      "one excluded parent PID is required",
      "exactly one positive excluded PID is required",
      "target is required",
      "process identity is not valid for system capture",
      "target must be system or pid:N",
      "expected executable is required",
      "expected process creation time is required",
  };
  auto result = audio_host::parse_command_line(arguments);
  if (!result) {
    check(kMessages.count(result.error()) == 1);
    return 0;
  }
  const auto& request = result.value();
  if (std::holds_alternative<audio_host::ListApplications>(request)) {
    check(arguments.size() == 1 && arguments[0] == "--list");
  } else if (const auto* system = std::get_if<audio_host::CaptureSystem>(&request)) {
    check(system->excluded_pid != 0 && arguments.size() == 4);
  } else {
    const auto& process = std::get<audio_host::CaptureProcess>(request);
    check(process.target_pid != 0 && process.excluded_pid != 0);
    check(!process.expected_exe.empty() && process.expected_start != 0);
    check(arguments.size() == 8);
  }
  return 0;
}
