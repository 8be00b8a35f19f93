// Process handles on Windows: process handles opened with SYNCHRONIZE,
// signalled once the process has ended.
#include "process_handle.h"
#include "win_handle.h"

namespace vantle {

bool ProcessHandleTraits::is_valid(Value handle) {
  return WinHandleTraits::is_valid(handle);
}

void ProcessHandleTraits::close(Value handle) {
  WinHandleTraits::close(handle);
}

bool process_running(ProcessHandleTraits::Value handle) {
  return ProcessHandleTraits::is_valid(handle) && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT;
}

}  // namespace vantle
