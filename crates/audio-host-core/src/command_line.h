// The host's command line: `--list`, or flag/value pairs that ask for a
// capture. The parser checks form only (no process is opened); whether the
// PIDs exist and relate as required is decided by the process rules later.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "result.h"

namespace audio_host {

using vantle::Result;

struct ListApplications {
  friend bool operator==(const ListApplications&, const ListApplications&) = default;
};

// Everything but the translator's process tree.
struct CaptureSystem {
  std::uint32_t excluded_pid = 0;
  friend bool operator==(const CaptureSystem&, const CaptureSystem&) = default;
};

// One process tree, whose identity the translator vouches for.
struct CaptureProcess {
  std::uint32_t target_pid = 0;
  std::uint32_t excluded_pid = 0;
  std::string expected_exe;
  std::uint64_t expected_start = 0;
  friend bool operator==(const CaptureProcess&, const CaptureProcess&) = default;
};

using HostRequest = std::variant<ListApplications, CaptureSystem, CaptureProcess>;

// Arguments without the program name, each as UTF-8.
Result<HostRequest> parse_command_line(std::span<const std::string> arguments);

}  // namespace audio_host
