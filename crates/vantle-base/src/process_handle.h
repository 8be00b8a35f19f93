// The owner of a handle by which one process instance is waited on: a
// pidfd on Linux (readable once the process has ended), a process handle
// opened for waiting on Windows (signalled once it has ended). Its traits
// are defined with each platform's code, so this header needs no system
// header. Used by one thread at a time.
#pragma once

#include "unique_resource.h"

namespace vantle {

struct ProcessHandleTraits {
#ifdef _WIN32
  using Value = void*;  // HANDLE
  static constexpr Value invalid() {
    return nullptr;
  }
#else
  using Value = int;  // a pidfd
  static constexpr Value invalid() {
    return -1;
  }
#endif
  static bool is_valid(Value handle);
  static void close(Value handle);
};
using ProcessHandle = UniqueResource<ProcessHandleTraits>;

// Whether the process still runs: only a wait on it that would still block
// says so; an ended process, a failed wait and no handle do not.
bool process_running(ProcessHandleTraits::Value handle);

}  // namespace vantle
