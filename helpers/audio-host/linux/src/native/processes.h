// Process selection on Linux: the process table from /proc behind the
// ancestry rules, and the identity of one process instance (executable path,
// start time and a pidfd to wait on).
//
// Everything here is called from the host's main thread only. A
// ProcessIdentity owns its pidfd and is not shared with other threads; the
// capture worker never sees one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "native/owners.h"
#include "process_rules.h"
#include "result.h"

namespace audio_host::linux_host {

// "context: <the system's text for errno> (os error N)".
std::string os_error_message(std::string_view context, int error_number);

// Every process in /proc with the parent PID of its stat line. A process that
// ends while the table is read is left out. Error: "process table: ...".
vantle::Result<ProcessTable> build_process_table();

// One process instance: its executable path (the link /proc/N/exe, decoded
// from UTF-8 with U+FFFD for invalid bytes), its start time (clock ticks
// since boot in 100 ns units) and an owned pidfd, readable once the process
// has ended.
class ProcessIdentity {
 public:
  ProcessIdentity(std::string exe, UniqueFd pidfd, std::uint64_t start_time)
      : exe_(std::move(exe)), pidfd_(std::move(pidfd)), start_time_(start_time) {}
  ProcessIdentity(ProcessIdentity&&) noexcept = default;
  ProcessIdentity& operator=(ProcessIdentity&&) noexcept = default;

  const std::string& exe() const { return exe_; }
  std::uint64_t start_time() const { return start_time_; }
  // For waiting only; -1 after reset().
  int pidfd() const { return pidfd_.get(); }
  // Whether the process still runs (its pidfd is not readable yet).
  bool running() const;

  void reset() {
    pidfd_.reset();
    exe_.clear();
    start_time_ = 0;
  }

 private:
  std::string exe_;
  UniqueFd pidfd_;
  std::uint64_t start_time_;
};

// Opens a pidfd for `pid` first, then reads the executable and the start
// time, then checks that the pidfd still refers to a live process, so that a
// PID reused in between can never pass. Errors: "open process: ...",
// "process executable: ...", "process identity: ...".
vantle::Result<ProcessIdentity> read_process_identity(std::uint32_t pid);

// Whether `identity` is still the instance the translator selected; makes no
// system call. Fails with "selected process identity changed; refresh the
// process list".
vantle::Status verify_selected_identity(const ProcessIdentity& identity,
                                        std::string_view expected_exe,
                                        std::uint64_t expected_start);

}  // namespace audio_host::linux_host
