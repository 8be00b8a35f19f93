// Process selection on Windows: the process snapshot behind the ancestry
// rules, the identity of one process instance (path, creation time and a
// waitable handle), and the application listing of `--list`.
//
// Everything here is called from the host's main thread only. A
// ProcessIdentity owns its handle and is not shared with other threads; the
// capture worker never sees one. The listing holds the standard output lock
// of std_streams.h while it writes (listing.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "listing.h"
#include "native/owners.h"
#include "process_rules.h"
#include "result.h"

namespace audio_host::win {

// One snapshot of every process, reduced to its parent links. A PID listed
// twice keeps the later parent. Errors: "process snapshot: ...",
// "first process: ...".
vantle::Result<ProcessTable> build_process_table();

// One process instance: its executable path (UTF-8, Win32 form), its
// creation time (FILETIME as one 64-bit count) and an owned handle opened
// for waiting (SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION), closed when
// the identity is discarded.
class ProcessIdentity {
 public:
  ProcessIdentity(std::string exe, ProcessHandle handle, std::uint64_t start_time)
      : exe_(std::move(exe)), handle_(std::move(handle)), start_time_(start_time) {}
  ProcessIdentity(ProcessIdentity&&) noexcept = default;
  ProcessIdentity& operator=(ProcessIdentity&&) noexcept = default;
  ProcessIdentity(const ProcessIdentity&) = delete;
  ProcessIdentity& operator=(const ProcessIdentity&) = delete;

  const std::string& exe() const { return exe_; }
  std::uint64_t start_time() const { return start_time_; }
  // For waiting only (signalled once the process has ended); null after
  // reset().
  HANDLE handle() const { return handle_.get(); }
  // Whether the process still runs: only a wait that times out says so; an
  // ended process, a failed wait or a reset identity do not.
  bool still_running() const;

  // Discards the identity early: closes the handle (a failure is ignored).
  void reset() {
    handle_.reset();
    exe_.clear();
    start_time_ = 0;
  }

 private:
  std::string exe_;
  ProcessHandle handle_;
  std::uint64_t start_time_;
};

// Opens `pid` and reads its identity. Errors: "open process: ...",
// "process executable: ...", "process identity: ..." (the handle is closed
// on every error path).
vantle::Result<ProcessIdentity> read_process_identity(std::uint32_t pid);

// Whether `identity` is still the instance the translator selected; makes no
// system call. Fails with "selected process identity changed; refresh the
// process list".
vantle::Status verify_selected_identity(const ProcessIdentity& identity,
                                        std::string_view expected_exe,
                                        std::uint64_t expected_start);

// The processes that own a visible top-level window and still run, in
// ascending PID order. Candidates whose identity cannot be read, or that have
// exited, are left out without a message. Error: "enumerate application
// windows: ...".
vantle::Result<std::vector<ApplicationEntry>> collect_applications();

// `--list`: collect_applications(), then the JSON array on standard output
// (write_application_list).
vantle::Status list_applications();

}  // namespace audio_host::win
