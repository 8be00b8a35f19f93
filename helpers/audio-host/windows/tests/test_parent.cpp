// test-parent.exe: plays the translator in the end-to-end tests. It starts
// audio-host.exe as its direct child, with its own standard output and
// standard error (so the test reads the host's bytes directly), and can
// build the process trees the ancestry rules are about.
//
//   test-parent.exe [--child] [--grandchild] [--pid-file PATH]
//                   [--exit-after-ms N] [--ctrl-c-after-ms N] -- HOST-ARGS...
//   test-parent.exe --idle [--spawn-child]
//
// In HOST-ARGS these words are replaced: {self} (this process's PID),
// {parent} (this process's parent), {child} (an idle child of this process,
// with --child), {grandchild} (that child's own child, with --grandchild);
// {pid:WHO} by "pid:" and that PID, and {exe:WHO} / {start:WHO} by that
// process's path and creation time.
// --pid-file receives "host=PID" once the host runs. --exit-after-ms ends this
// process that long after the start, leaving the host running (the
// translator goes away); --ctrl-c-after-ms sends Ctrl+C to a console shared
// with the host. Otherwise it waits for the host and exits with its status.
// Idle children run until this process ends it (they never hold the test's
// pipes: they do not inherit this process's standard handles).
//
// Threads: one.
#include <windows.h>
// windows.h first: tlhelp32.h builds on it.
#include <tlhelp32.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "win_handle.h"

namespace {

using test_support::quote_argument;
using vantle::WinHandle;

std::wstring own_path() {
  wchar_t path[32768];
  DWORD size = static_cast<DWORD>(std::size(path));
  QueryFullProcessImageNameW(GetCurrentProcess(), 0, path, &size);
  return std::wstring(path, size);
}

DWORD parent_pid() {
  DWORD parent = 0;
  const WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
       more = Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId())
      parent = entry.th32ParentProcessID;
  }
  return parent;
}

// The executable path and creation time of a running process.
std::pair<std::wstring, unsigned long long> identity_of(DWORD pid) {
  const WinHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process)
    return {L"", 0};
  wchar_t path[32768];
  DWORD size = static_cast<DWORD>(std::size(path));
  QueryFullProcessImageNameW(process.get(), 0, path, &size);
  FILETIME creation{}, exit{}, kernel{}, user{};
  GetProcessTimes(process.get(), &creation, &exit, &kernel, &user);
  return {
      std::wstring(path, size),
      (static_cast<unsigned long long>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime};
}

// Starts an idle child with `command_line`; its standard output is a pipe
// whose first line (a PID) is read when `reported_pid` is given. The child
// inherits none of this process's standard handles, so it never keeps the
// test's pipes open.
DWORD start_idle(const std::wstring& exe, std::wstring command_line, DWORD* reported_pid) {
  const DWORD std_ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  DWORD flags[3] = {};
  for (int i = 0; i < 3; ++i) {
    HANDLE handle = GetStdHandle(std_ids[i]);
    if (GetHandleInformation(handle, &flags[i]))
      SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
  }
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  WinHandle read, write;
  CreatePipe(read.put(), write.put(), &inherit, 0);
  SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write.get();
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &info);
  write.reset();
  for (int i = 0; i < 3; ++i) {
    SetHandleInformation(GetStdHandle(std_ids[i]), HANDLE_FLAG_INHERIT,
                         flags[i] & HANDLE_FLAG_INHERIT);
  }
  if (!started) {
    std::fprintf(stderr, "test-parent: cannot start a child (%lu)\n", GetLastError());
    std::exit(3);
  }
  const WinHandle thread(info.hThread), process(info.hProcess);
  if (reported_pid != nullptr) {
    char line[32] = {};
    DWORD got = 0, total = 0;
    while (total + 1 < sizeof line && ReadFile(read.get(), line + total, 1, &got, nullptr) &&
           got == 1 && line[total] != '\n') {
      ++total;
    }
    *reported_pid = static_cast<DWORD>(std::strtoul(line, nullptr, 10));
  }
  return info.dwProcessId;
}

// Ends the idle children (a grandchild is not ended with its parent).
void end_idle(const std::vector<DWORD>& pids) {
  for (const DWORD pid : pids) {
    if (const WinHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        process) {
      TerminateProcess(process.get(), 0);
      WaitForSingleObject(process.get(), 5000);
    }
  }
}

int idle(bool spawn_child) {
  DWORD child = 0;
  if (spawn_child) {
    const std::wstring exe = own_path();
    child = start_idle(exe, quote_argument(exe) + L" --idle", nullptr);
  }
  std::printf("%lu\n", child);
  std::fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  bool want_child = false, want_grandchild = false;
  std::wstring pid_file;
  DWORD exit_after = 0, ctrl_c_after = 0;
  int i = 1;
  for (; i < argc; ++i) {
    const std::wstring flag = argv[i];
    if (flag == L"--idle") {
      return idle(i + 1 < argc && std::wstring(argv[i + 1]) == L"--spawn-child");
    } else if (flag == L"--child") {
      want_child = true;
    } else if (flag == L"--grandchild") {
      want_child = want_grandchild = true;
    } else if (flag == L"--pid-file" && i + 1 < argc) {
      pid_file = argv[++i];
    } else if (flag == L"--exit-after-ms" && i + 1 < argc) {
      exit_after = std::wcstoul(argv[++i], nullptr, 10);
    } else if (flag == L"--ctrl-c-after-ms" && i + 1 < argc) {
      ctrl_c_after = std::wcstoul(argv[++i], nullptr, 10);
    } else if (flag == L"--") {
      ++i;
      break;
    } else {
      std::fprintf(stderr, "test-parent: bad argument\n");
      return 2;
    }
  }

  std::map<std::wstring, DWORD> pids = {{L"self", GetCurrentProcessId()},
                                        {L"parent", parent_pid()}};
  std::vector<DWORD> idle;
  if (want_child) {
    const std::wstring exe = own_path();
    DWORD grandchild = 0;
    pids[L"child"] = start_idle(
        exe, quote_argument(exe) + (want_grandchild ? L" --idle --spawn-child" : L" --idle"),
        &grandchild);
    idle.push_back(pids[L"child"]);
    if (want_grandchild) {
      pids[L"grandchild"] = grandchild;
      idle.push_back(grandchild);
    }
  }

  std::wstring command_line = quote_argument(test_support::program_folder() + L"audio-host.exe");
  for (; i < argc; ++i) {
    std::wstring argument = argv[i];
    for (const auto& [who, pid] : pids) {
      if (argument == L"{" + who + L"}") {
        argument = std::to_wstring(pid);
      } else if (argument == L"{pid:" + who + L"}") {
        argument = L"pid:" + std::to_wstring(pid);
      } else if (argument == L"{exe:" + who + L"}") {
        argument = identity_of(pid).first;
      } else if (argument == L"{start:" + who + L"}") {
        argument = std::to_wstring(identity_of(pid).second);
      }
    }
    command_line += L" " + quote_argument(argument);
  }

  if (ctrl_c_after != 0) {
    // Ctrl+C reaches the processes attached to one console: give the host
    // ours, and let this process survive the signal.
    if (const vantle::Status prepared = vantle::prepare_stop_signal(); !prepared) {
      std::fprintf(stderr, "test-parent: %s\n", prepared.error().c_str());
      return 3;
    }
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nullptr;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION host{};
  const std::wstring host_exe = test_support::program_folder() + L"audio-host.exe";
  if (!CreateProcessW(host_exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                      nullptr, &startup, &host)) {
    std::fprintf(stderr, "test-parent: cannot start the host (%lu)\n", GetLastError());
    return 3;
  }
  const WinHandle host_thread(host.hThread), host_process(host.hProcess);
  if (!pid_file.empty()) {
    FILE* file = _wfopen(pid_file.c_str(), L"w");
    if (file != nullptr) {
      std::fprintf(file, "host=%lu\n", host.dwProcessId);
      std::fclose(file);
    }
  }

  if (exit_after != 0) {
    WaitForSingleObject(host.hProcess, exit_after);
    end_idle(idle);
    return 0;  // the translator goes; the host may still run
  }
  if (ctrl_c_after != 0 && WaitForSingleObject(host.hProcess, ctrl_c_after) == WAIT_TIMEOUT) {
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
  }
  WaitForSingleObject(host.hProcess, INFINITE);
  end_idle(idle);
  DWORD status = 0;
  GetExitCodeProcess(host.hProcess, &status);
  return static_cast<int>(status);
}
