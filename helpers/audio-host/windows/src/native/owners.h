// One small owner type per kind of Windows resource the host holds. Each
// releases its resource exactly once, in its destructor or in reset(), and
// ignores the release call's failure. The handle owners encode their
// invalid value, so a Toolhelp snapshot (invalid: INVALID_HANDLE_VALUE) and a
// process or event handle (invalid: null) cannot be mixed up.
//
// Owners are not shared between threads; whoever holds one uses it.
#pragma once

#include <utility>

#include "native/win_declarations.h"

namespace audio_host::win {

struct NullHandleTraits {
  static HANDLE invalid() { return nullptr; }
};
struct InvalidValueHandleTraits {
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
};

template <class Traits>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  ~UniqueHandle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }

  HANDLE release() { return std::exchange(handle_, Traits::invalid()); }
  void reset(HANDLE handle = Traits::invalid()) {
    const HANDLE old = std::exchange(handle_, handle);
    if (old != Traits::invalid()) {
      CloseHandle(old);  // a failure to close is ignored
    }
  }

 private:
  HANDLE handle_ = Traits::invalid();
};

using ProcessHandle = UniqueHandle<NullHandleTraits>;
using EventHandle = UniqueHandle<NullHandleTraits>;
using ThreadHandle = UniqueHandle<NullHandleTraits>;
using SnapshotHandle = UniqueHandle<InvalidValueHandleTraits>;

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

// A string allocated by the system with SysAllocString (COM error texts).
class UniqueBstr {
 public:
  UniqueBstr() = default;
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  ~UniqueBstr() { SysFreeString(value_); }
  BSTR get() const { return value_; }
  BSTR* put() {
    SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  UINT length() const { return SysStringLen(value_); }

 private:
  BSTR value_ = nullptr;
};

// A buffer FormatMessageW allocated with FORMAT_MESSAGE_ALLOCATE_BUFFER.
class UniqueLocalMemory {
 public:
  UniqueLocalMemory() = default;
  UniqueLocalMemory(const UniqueLocalMemory&) = delete;
  UniqueLocalMemory& operator=(const UniqueLocalMemory&) = delete;
  ~UniqueLocalMemory() {
    if (ptr_ != nullptr) {
      LocalFree(ptr_);
    }
  }
  wchar_t* get() const { return ptr_; }
  // FormatMessageW takes the address of the pointer, cast to LPWSTR.
  LPWSTR put_for_format_message() { return reinterpret_cast<LPWSTR>(&ptr_); }

 private:
  wchar_t* ptr_ = nullptr;
};

// COM initialised on the calling thread; uninitialised when this goes.
class ComApartment {
 public:
  ComApartment() = default;
  static ComApartment adopt_initialized() {
    ComApartment apartment;
    apartment.initialized_ = true;
    return apartment;
  }
  ComApartment(ComApartment&& other) noexcept
      : initialized_(std::exchange(other.initialized_, false)) {}
  ComApartment& operator=(ComApartment&& other) noexcept {
    if (this != &other) {
      reset();
      initialized_ = std::exchange(other.initialized_, false);
    }
    return *this;
  }
  ~ComApartment() { reset(); }
  void reset() {
    if (std::exchange(initialized_, false)) {
      CoUninitialize();
    }
  }

 private:
  bool initialized_ = false;
};

}  // namespace audio_host::win
