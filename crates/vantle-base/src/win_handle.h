// The owners of what Windows' kernel hands out that must be given back:
// kernel handles, loaded modules and system-allocated memory. Each is a
// UniqueResource and the one place its release call is made, so that a
// release happens exactly once and its failure is ignored. (The COM owners
// belong to the Windows host, which alone links COM.)
//
// Owners are used by one thread at a time.
#pragma once

#include <windows.h>

#include "unique_resource.h"

namespace vantle {

// A kernel handle (process, thread, event, waitable timer, snapshot, file).
// Functions that fail answer null or INVALID_HANDLE_VALUE, depending on the
// function; both are "no handle", so callers test the owner, never the value.
struct WinHandleTraits {
  using Value = HANDLE;
  static Value invalid() { return nullptr; }
  static bool is_valid(Value handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  static void close(Value handle) { (void)CloseHandle(handle); }
};
using WinHandle = UniqueResource<WinHandleTraits>;

// A module loaded with LoadLibrary(Ex).
struct ModuleTraits {
  using Value = HMODULE;
  static Value invalid() { return nullptr; }
  static bool is_valid(Value module) { return module != nullptr; }
  static void close(Value module) { (void)FreeLibrary(module); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

// Memory the system allocated with LocalAlloc, such as the buffer of
// FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER.
struct LocalMemoryTraits {
  using Value = wchar_t*;
  static Value invalid() { return nullptr; }
  static bool is_valid(Value memory) { return memory != nullptr; }
  static void close(Value memory) { (void)LocalFree(memory); }
};
using UniqueLocalMemory = UniqueResource<LocalMemoryTraits>;

}  // namespace vantle
