#include "native/processes.h"

#include <set>
#include <vector>

#include "native/system_error.h"
#include "text.h"

namespace audio_host::win {
namespace {

using vantle::Error;
using vantle::make_error;
using vantle::Result;
using vantle::Status;

#ifdef _WIN64
static_assert(sizeof(PROCESSENTRY32W) == 568, "the snapshot entry of 64-bit Windows");
#endif

// 32767 units plus the terminating null: the longest Win32 path.
constexpr DWORD kPathCapacity = 32768;

constexpr DWORD kIdentityAccess = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
static_assert(kIdentityAccess == 0x00101000);

Error failed(std::string_view context) {
  return make_error(context_message(context, SystemError::from_last_error()));
}

std::uint64_t filetime_count(const FILETIME& time) {
  return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// EnumWindows callback: adds the PID of every visible top-level window to the
// set behind `context`. Always TRUE, so the enumeration runs to its end.
BOOL CALLBACK add_window_owner(HWND window, LPARAM context) {
  if (IsWindowVisible(window) == 0) {
    return TRUE;
  }
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid != 0) {
    reinterpret_cast<std::set<std::uint32_t>*>(context)->insert(pid);
  }
  return TRUE;
}

}  // namespace

Result<ProcessTable> build_process_table() {
  const WinHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot) {
    return failed("process snapshot");
  }

  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  if (!Process32FirstW(snapshot.get(), &entry)) {
    return failed("first process");
  }
  ProcessTable table;
  do {
    table.insert_or_assign(entry.th32ProcessID, entry.th32ParentProcessID);
    // Any failure of Process32NextW ends the snapshot, not only
    // ERROR_NO_MORE_FILES: the entries read so far are the table.
  } while (Process32NextW(snapshot.get(), &entry));
  return table;
}

Result<ProcessIdentity> read_process_identity(std::uint32_t pid) {
  vantle::ProcessHandle handle(OpenProcess(kIdentityAccess, FALSE, pid));
  if (!handle) {
    return failed("open process");
  }

  std::vector<wchar_t> path(kPathCapacity);
  DWORD size = kPathCapacity;
  if (!QueryFullProcessImageNameW(handle.get(), 0, path.data(), &size)) {
    return failed("process executable");
  }
  FILETIME creation{};
  FILETIME exit{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(handle.get(), &creation, &exit, &kernel, &user)) {
    return failed("process identity");
  }
  std::string exe = vantle::utf16_to_utf8_lossy(path.data(), size);
  return ProcessIdentity(std::move(exe), filetime_count(creation), std::move(handle));
}

Result<std::vector<ApplicationEntry>> collect_applications() {
  std::set<std::uint32_t> candidates;
  if (!EnumWindows(add_window_owner, reinterpret_cast<LPARAM>(&candidates))) {
    return failed("enumerate application windows");
  }
  std::vector<ApplicationEntry> entries;
  for (const std::uint32_t pid : candidates) {
    // The identity, and with it the handle, lives for this one candidate.
    const auto identity = read_process_identity(pid);
    if (!identity) {
      continue;  // gone, or not ours to open: not listed, no message
    }
    const ProcessIdentity& found = identity.value();
    if (!found.running()) {
      continue;  // exited (or the wait failed) since its window was seen
    }
    entries.push_back(
        make_application_entry(pid, found.exe(), found.start_time(), PathRules::windows));
  }
  return entries;
}

Status list_applications() {
  auto entries = collect_applications();
  if (!entries) {
    return std::move(entries).take_error();
  }
  return write_application_list(entries.value());
}

}  // namespace audio_host::win
