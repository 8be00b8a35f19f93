// One process instance, as both hosts know it: its executable path, its
// start time, and an owned handle by which the host notices its end (a
// pidfd on Linux, a process handle on Windows). A PID alone names a process
// only until the system reuses it; the identity ties it to one instance.
//
// Each host's platform reads identities (read_process_identity); the run
// sequence compares the selected one with what the listing showed and
// watches both the translator's and the target's. Main thread only: an
// identity is never shared with the capture worker.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "process_handle.h"
#include "process_rules.h"
#include "result.h"

namespace audio_host {

class ProcessIdentity {
 public:
  // `exe` is UTF-8 in the platform's own form (a Win32 path, or the target
  // of /proc/N/exe); `start_time` is the platform's creation time, opaque to
  // the translator (FILETIME on Windows, clock ticks in 100 ns units on
  // Linux).
  ProcessIdentity(std::string exe, std::uint64_t start_time, vantle::ProcessHandle handle)
      : exe_(std::move(exe)), start_time_(start_time), handle_(std::move(handle)) {}
  ProcessIdentity(ProcessIdentity&&) noexcept = default;
  ProcessIdentity& operator=(ProcessIdentity&&) noexcept = default;

  const std::string& exe() const { return exe_; }
  std::uint64_t start_time() const { return start_time_; }
  // For waiting only (a pidfd, or a HANDLE with SYNCHRONIZE).
  vantle::ProcessHandle::Value handle() const { return handle_.get(); }
  // Whether the process still runs: only a wait that would block says so.
  bool running() const { return vantle::process_running(handle_.get()); }

 private:
  std::string exe_;
  std::uint64_t start_time_ = 0;
  vantle::ProcessHandle handle_;
};

// Whether `identity` is still the instance the translator selected: the
// path (under the platform's rules), then the exact start time. Makes no
// system call. Fails with "selected process identity changed; refresh the
// process list".
vantle::Status verify_selected_identity(const ProcessIdentity& identity,
                                        std::string_view expected_exe, std::uint64_t expected_start,
                                        PathRules rules);

}  // namespace audio_host
