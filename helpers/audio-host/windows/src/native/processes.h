// Process selection on Windows: the process snapshot behind the ancestry
// rules, the identity of one process instance (path, creation time and a
// waitable handle), and the application listing of `--list`.
//
// Everything here is called from the host's main thread only. An identity
// owns its handle and is not shared with other threads; the capture worker
// never sees one. The listing holds the standard output lock
// of std_streams.h while it writes (listing.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "listing.h"
#include "native/owners.h"
#include "process_identity.h"
#include "process_rules.h"
#include "result.h"

namespace audio_host::win {

// One snapshot of every process, reduced to its parent links. A PID listed
// twice keeps the later parent. Errors: "process snapshot: ...",
// "first process: ...".
vantle::Result<ProcessTable> build_process_table();

// Opens `pid` (SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, not
// inheritable) and reads its identity: the executable path (UTF-8, Win32
// form) and the creation time (FILETIME as one 64-bit count); the handle is
// the identity's, for waiting. Errors: "open process: ...", "process
// executable: ...", "process identity: ..." (the handle is closed on every
// error path).
vantle::Result<ProcessIdentity> read_process_identity(std::uint32_t pid);

// The processes that own a visible top-level window and still run, in
// ascending PID order. Candidates whose identity cannot be read, or that have
// exited, are left out without a message. Error: "enumerate application
// windows: ...".
vantle::Result<std::vector<ApplicationEntry>> collect_applications();

// `--list`: collect_applications(), then the JSON array on standard output
// (write_application_list).
vantle::Status list_applications();

}  // namespace audio_host::win
