// The owners of everything Windows hands out that must be given back: kernel
// handles, loaded modules, system-allocated text, COM references, COM on a
// thread, and a thread's multimedia scheduling. Each is a UniqueResource (or,
// for COM references, a ComPtr) and the one place its release call is made,
// so that a release happens exactly once and its failure is ignored.
//
// Owners are used by one thread at a time; a ComApartment and a
// ThreadTaskRegistration must be released on the thread that acquired them.
#pragma once

#include <windows.h>
// windows.h first: the others build on it.
#include <avrt.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstddef>
#include <utility>

#include "unique_resource.h"

namespace vantle_audio {

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

// A string from SysAllocString (COM error texts).
struct BstrTraits {
  using Value = BSTR;
  static Value invalid() { return nullptr; }
  static bool is_valid(Value text) { return text != nullptr; }
  static void close(Value text) { SysFreeString(text); }
};
using UniqueBstr = UniqueResource<BstrTraits>;

// COM initialised on the calling thread (a successful CoInitializeEx, S_FALSE
// included); uninitialised when the owner goes.
struct ComApartmentTraits {
  using Value = bool;
  static Value invalid() { return false; }
  static bool is_valid(Value initialized) { return initialized; }
  static void close(Value) { CoUninitialize(); }
};
using ComApartment = UniqueResource<ComApartmentTraits>;

// The calling thread's registration with the multimedia class scheduler
// (AvSetMmThreadCharacteristicsW); reverted when the owner goes.
struct ThreadTaskTraits {
  using Value = HANDLE;
  static Value invalid() { return nullptr; }
  static bool is_valid(Value handle) { return handle != nullptr; }
  static void close(Value handle) { (void)AvRevertMmThreadCharacteristics(handle); }
};
using ThreadTaskRegistration = UniqueResource<ThreadTaskTraits>;

// One COM reference.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}  // NOLINT
  ComPtr(ComPtr&& other) noexcept : ptr_(other.detach()) {}
  ComPtr(const ComPtr& other) : ptr_(other.ptr_) {
    if (ptr_ != nullptr) {
      ptr_->AddRef();
    }
  }
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~ComPtr() { reset(); }

  // Takes over a reference the caller already owns.
  static ComPtr attach(T* ptr) {
    ComPtr result;
    result.ptr_ = ptr;
    return result;
  }
  // Adds a reference of its own.
  static ComPtr borrow(T* ptr) {
    if (ptr != nullptr) {
      ptr->AddRef();
    }
    return attach(ptr);
  }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  // For out parameters: releases the current reference first.
  T** put() {
    reset();
    return &ptr_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }

  T* detach() { return std::exchange(ptr_, nullptr); }
  void reset() {
    if (T* old = std::exchange(ptr_, nullptr)) {
      old->Release();
    }
  }

  template <class U>
  HRESULT query(REFIID iid, ComPtr<U>& out) const {
    return ptr_->QueryInterface(iid, out.put_void());
  }

 private:
  T* ptr_ = nullptr;
};

}  // namespace vantle_audio
