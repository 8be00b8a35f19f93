#include "window_helper_child.h"

#include <nlohmann/json.hpp>

namespace test_support {

bool start_window_helper(Child& child, const std::vector<std::wstring>& arguments,
                         HelperIdentity& identity, std::string& error, DWORD timeout_ms) {
  ChildOptions options;
  options.stdin_pipe = true;
  if (!child.start(program_folder() + L"window-helper.exe", arguments, options)) {
    error = child.error();
    return false;
  }
  // The report is one line; wait until its line feed, or the end of output.
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  std::string out = child.out();
  while (out.find('\n') == std::string::npos) {
    const ULONGLONG now = GetTickCount64();
    const std::size_t before = out.size();
    if (now >= deadline) {
      break;
    }
    out = child.wait_for_out(before + 1, static_cast<DWORD>(deadline - now));
    if (out.size() == before) {
      break;  // the output ended (or the time ran out) without a line
    }
  }
  const auto line_end = out.find('\n');
  if (line_end == std::string::npos) {
    child.wait(2000);
    error =
        "window-helper did not report (stdout: \"" + out + "\", stderr: \"" + child.err() + "\")";
    return false;
  }
  auto report = nlohmann::json::parse(out.substr(0, line_end), nullptr, false);
  if (!report.is_object() || !report["pid"].is_number_unsigned() || !report["exe"].is_string() ||
      !report["start_time"].is_number_unsigned()) {
    error = "window-helper reported: " + out;
    return false;
  }
  identity.pid = report["pid"].get<DWORD>();
  identity.exe = report["exe"].get<std::string>();
  identity.start_time = report["start_time"].get<std::uint64_t>();
  return true;
}

}  // namespace test_support
