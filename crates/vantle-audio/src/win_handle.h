// The owner of a Windows kernel handle (process, thread, event, waitable
// timer, snapshot, file): closed with CloseHandle. Functions that fail
// answer either null or INVALID_HANDLE_VALUE depending on the function; the
// owner takes both as "no handle", so callers test the owner, never the raw
// value.
#pragma once

#include <windows.h>

#include "unique_resource.h"

namespace vantle_audio {

struct WinHandleTraits {
  using Value = HANDLE;
  static Value invalid() { return nullptr; }
  static bool is_valid(Value handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void close(Value handle) { (void)CloseHandle(handle); }
};
using WinHandle = UniqueResource<WinHandleTraits>;

}  // namespace vantle_audio
