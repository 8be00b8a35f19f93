#include "process_rules.h"

#include <set>
#include <utility>
#include <variant>

namespace audio_host {
namespace {

using vantle::make_error;
using vantle::Status;

constexpr const char* kCyclicAncestry = "cyclic process ancestry";
constexpr const char* kTargetTouchesTranslator =
    "selected process tree includes the translator or belongs to it";

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

vantle::Result<bool> is_on_ancestry_line(const ProcessTable& table, std::uint32_t start,
                                         std::uint32_t sought) {
  std::set<std::uint32_t> visited;
  std::uint32_t current = start;
  while (true) {
    // PID 0 ends every chain, even where a snapshot records a parent for it.
    if (current == 0) {
      return false;
    }
    if (current == sought) {
      return true;
    }
    if (!visited.insert(current).second) {
      return make_error(kCyclicAncestry);
    }
    const auto found = table.find(current);
    if (found == table.end()) {
      return false;
    }
    current = found->second;
  }
}

Status check_ancestry_rules(const HostRequest& request, std::uint32_t excluded_pid,
                            std::uint32_t own_pid, const ProcessTable& table) {
  const auto own = table.find(own_pid);
  if (own == table.end() || own->second != excluded_pid) {
    return make_error("excluded PID must be the helper's parent application");
  }
  if (!table.contains(excluded_pid)) {
    return make_error("parent process is no longer present");
  }
  const auto* process = std::get_if<CaptureProcess>(&request);
  if (process == nullptr) {
    return Status::success();
  }
  const std::uint32_t target = process->target_pid;
  if (!table.contains(target)) {
    return make_error("selected process is no longer present");
  }
  // The target's own chain first (is it the translator or below it?), then
  // the translator's (is the target above it?). A loop on the target's chain
  // is reported even when the second walk would have refused the target.
  const std::pair<std::uint32_t, std::uint32_t> walks[] = {{target, excluded_pid},
                                                           {excluded_pid, target}};
  for (const auto& [start, sought] : walks) {
    auto related = is_on_ancestry_line(table, start, sought);
    if (!related) {
      return std::move(related).take_error();
    }
    if (related.value()) {
      return make_error(kTargetTouchesTranslator);
    }
  }
  return Status::success();
}

bool same_executable_path(std::string_view path, std::string_view expected, PathRules rules) {
  if (path.size() != expected.size()) {
    return false;
  }
  if (rules == PathRules::posix) {
    return path == expected;
  }
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (ascii_lower(path[i]) != ascii_lower(expected[i])) {
      return false;
    }
  }
  return true;
}

Status verify_identity_values(std::string_view exe, std::uint64_t start_time,
                              std::string_view expected_exe, std::uint64_t expected_start,
                              PathRules rules) {
  if (!same_executable_path(exe, expected_exe, rules) || start_time != expected_start) {
    return make_error("selected process identity changed; refresh the process list");
  }
  return Status::success();
}

CaptureSelection capture_selection(const HostRequest& request) {
  if (const auto* process = std::get_if<CaptureProcess>(&request)) {
    return {CaptureSelection::Mode::include_tree, process->target_pid};
  }
  return {CaptureSelection::Mode::exclude_tree, std::get<CaptureSystem>(request).excluded_pid};
}

bool is_captured(const CaptureSelection& selection, std::optional<std::uint32_t> pid,
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

std::string_view executable_label(std::string_view path, PathRules rules) {
  const std::size_t separator = path.find_last_of(rules == PathRules::windows ? "\\/" : "/");
  return separator == std::string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace audio_host
