#include "command_line.h"

#include <array>
#include <limits>
#include <optional>
#include <string_view>

namespace audio_host {
namespace {

using vantle::make_error;

// Decimal ASCII with an optional single leading '+'; zero, overflow and any
// other character are refused.
std::optional<std::uint64_t> parse_positive(std::string_view text, std::uint64_t max) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  if (value == 0) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint32_t> parse_pid(std::string_view text) {
  const auto value = parse_positive(text, std::numeric_limits<std::uint32_t>::max());
  if (!value) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*value);
}

enum Flag : std::size_t { kTarget, kExcludePids, kExpectedExe, kExpectedStart, kFlagCount };
constexpr std::array<std::string_view, kFlagCount> kFlagNames = {
    "--target", "--exclude-pids", "--expected-exe", "--expected-start"};

}  // namespace

Result<HostRequest> parse_command_line(std::span<const std::string> arguments) {
  if (arguments.size() == 1 && arguments[0] == "--list") {
    return HostRequest(ListApplications{});
  }
  if (arguments.size() % 2 != 0) {
    return make_error("arguments must be flag/value pairs");
  }

  std::array<std::optional<std::string_view>, kFlagCount> values;
  for (std::size_t i = 0; i < arguments.size(); i += 2) {
    std::size_t flag = kFlagCount;
    for (std::size_t f = 0; f < kFlagCount; ++f) {
      if (arguments[i] == kFlagNames[f]) {
        flag = f;
      }
    }
    if (flag == kFlagCount || values[flag].has_value()) {
      return make_error("unknown or duplicate argument");
    }
    values[flag] = arguments[i + 1];
  }

  if (!values[kExcludePids]) {
    return make_error("one excluded parent PID is required");
  }
  const std::optional<std::uint32_t> excluded_pid = parse_pid(*values[kExcludePids]);
  if (!excluded_pid) {
    return make_error("exactly one positive excluded PID is required");
  }
  if (!values[kTarget]) {
    return make_error("target is required");
  }

  const std::string_view target = *values[kTarget];
  if (target == "system") {
    if (values[kExpectedExe] || values[kExpectedStart]) {
      return make_error("process identity is not valid for system capture");
    }
    return HostRequest(CaptureSystem{*excluded_pid});
  }

  constexpr std::string_view kPidPrefix = "pid:";
  std::optional<std::uint32_t> target_pid;
  if (target.substr(0, kPidPrefix.size()) == kPidPrefix) {
    target_pid = parse_pid(target.substr(kPidPrefix.size()));
  }
  if (!target_pid) {
    return make_error("target must be system or pid:N");
  }
  if (!values[kExpectedExe] || values[kExpectedExe]->empty()) {
    return make_error("expected executable is required");
  }
  const std::optional<std::uint64_t> expected_start =
      values[kExpectedStart]
          ? parse_positive(*values[kExpectedStart], std::numeric_limits<std::uint64_t>::max())
          : std::nullopt;
  if (!expected_start) {
    return make_error("expected process creation time is required");
  }
  return HostRequest(CaptureProcess{*target_pid, *excluded_pid, std::string(*values[kExpectedExe]),
                                    *expected_start});
}

}  // namespace audio_host
