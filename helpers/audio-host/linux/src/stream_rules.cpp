#include "stream_rules.h"

#include <charconv>
#include <cstring>

namespace audio_host {

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

std::optional<std::uint32_t> stream_process_id(const char* stream_property,
                                               const char* client_property) {
  if (const auto own = parse_process_id_property(stream_property)) {
    return own;
  }
  return parse_process_id_property(client_property);
}

bool stream_is_captured(const CaptureSelection& selection, std::optional<std::uint32_t> pid,
                        const ProcessTable& table) {
  const bool including = selection.mode == CaptureSelection::Mode::include_tree;
  if (!pid) {
    return !including;
  }
  const auto in_tree = is_on_ancestry_line(table, *pid, selection.root);
  if (!in_tree) {
    return false;  // a cycle
  }
  return including ? in_tree.value() : !in_tree.value();
}

}  // namespace audio_host
