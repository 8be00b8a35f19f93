#include "shared/process_property.h"

#include <charconv>
#include <cstring>

namespace audio_host::linux_host {

std::optional<std::uint32_t> parse_process_id_property(const char* value) {
  if (value == nullptr) {
    return std::nullopt;
  }
  const char* end = value + std::strlen(value);
  std::uint32_t pid = 0;
  const auto [stop, error] = std::from_chars(value, end, pid);
  if (value == end || *value < '0' || *value > '9' || error != std::errc() || stop != end ||
      pid == 0) {
    return std::nullopt;
  }
  return pid;
}

}  // namespace audio_host::linux_host
