// The owner types of the Windows host: the kernel owners of win_handle.h
// under the names the host's code uses, the COM owners (references, COM on
// a thread, COM strings) and the multimedia scheduler's registration, and
// the COM initialisation that returns its owner. Each owner is the one place
// its release call is made, so that a release happens exactly once and its
// failure is ignored.
//
// Owners are used by one thread at a time; a ComApartment and a
// ThreadTaskRegistration must be released on the thread that acquired them.
#pragma once

#include "native/win_declarations.h"
// win_declarations.h first: it brings windows.h.
#include <avrt.h>
#include <oleauto.h>

#include <cstddef>
#include <utility>

#include "result.h"
#include "unique_resource.h"
#include "win_handle.h"

namespace audio_host::win {

using vantle::UniqueLocalMemory;
using vantle::UniqueModule;
using vantle::UniqueResource;
using vantle::WinHandle;

// An event.
using EventHandle = WinHandle;

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

// COM on the calling thread, in the multithreaded apartment. Error:
// "COM MTA: ..." with the failed HRESULT.
vantle::Result<ComApartment> initialize_com_mta();

}  // namespace audio_host::win
