// Test support (Windows): window-helper.exe, the stand-in application of the
// end-to-end tests, started as a child. It sits next to the test program,
// opens the windows asked for, reports its PID, executable path and creation
// time, and runs until its standard input is closed (Child::close_stdin) or
// it is killed (the Child's destructor).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"

namespace test_support {

// What the helper reports about itself once its windows exist.
struct HelperIdentity {
  DWORD pid = 0;
  std::string exe;               // as QueryFullProcessImageNameW gives it, UTF-8
  std::uint64_t start_time = 0;  // GetProcessTimes' creation time, one 64-bit count
};

// Starts window-helper.exe in `child` with `arguments` (for example
// {L"--visible", L"2", L"--hidden", L"1"}), its standard input on a pipe, and
// waits at most `timeout_ms` for its report. False, with a reason in
// `error`, when it cannot be started or does not report.
bool start_window_helper(Child& child, const std::vector<std::wstring>& arguments,
                         HelperIdentity& identity, std::string& error, DWORD timeout_ms = 20000);

}  // namespace test_support
