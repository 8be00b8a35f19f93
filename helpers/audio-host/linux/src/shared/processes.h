// Process selection on Linux, for every backend: the process table from
// /proc behind the ancestry rules, and the identity of one process instance
// (executable path, start time and a pidfd to wait on).
//
// Everything here is called from the host's main thread only. An identity
// owns its pidfd and is not shared with other threads; the capture worker
// never sees one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "process_identity.h"
#include "process_rules.h"
#include "result.h"

namespace audio_host::linux_host {

// "context: <the system's text for errno> (os error N)".
std::string os_error_message(std::string_view context, int error_number);

// Every process in /proc with the parent PID of its stat line. A process that
// ends while the table is read is left out. Error: "process table: ...".
vantle::Result<ProcessTable> build_process_table();

// The parent of `pid` as /proc tells it now (its stat line); nullopt when
// the process has gone or cannot be read.
std::optional<std::uint32_t> read_parent_pid(std::uint32_t pid);

// The executable of `pid` as /proc/N/exe names it now (decoded from UTF-8
// with U+FFFD for invalid bytes; " (deleted)" at the end when the file was
// replaced); nullopt when it cannot be read.
std::optional<std::string> read_executable(std::uint32_t pid);

// A pidfd for `pid` (close-on-exec); no handle when the process has gone.
vantle::ProcessHandle open_pidfd(std::uint32_t pid);

// Opens a pidfd for `pid` first, then reads the executable (the link
// /proc/N/exe, decoded from UTF-8 with U+FFFD for invalid bytes) and the
// start time (clock ticks since boot in 100 ns units), then checks that the
// pidfd still refers to a live process, so that a PID reused in between can
// never pass. The pidfd is the identity's, for waiting. Errors: "open
// process: ...", "process executable: ...", "process identity: ...".
vantle::Result<ProcessIdentity> read_process_identity(std::uint32_t pid);

}  // namespace audio_host::linux_host
