// One small owner type per kind of resource the Linux host holds: file
// descriptors (pidfds, the signalfd) and libpulse objects. Each releases its
// resource exactly once, in its destructor or in reset(), and ignores the
// release call's failure.
//
// Owners are not shared between threads; whoever holds one uses it.
#pragma once

#include <unistd.h>

#include <utility>

namespace audio_host::linux_host {

// A file descriptor; -1 when empty.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) {
      (void)::close(old);  // a failure to close is ignored
    }
  }

 private:
  int fd_ = -1;
};

// A pointer released by `Release` (a function object type), for the
// libpulse objects: mainloop, context, stream, proplist.
template <class T, class Release>
class UniquePtr {
 public:
  UniquePtr() = default;
  explicit UniquePtr(T* ptr) : ptr_(ptr) {}
  UniquePtr(UniquePtr&& other) noexcept : ptr_(other.release()) {}
  UniquePtr& operator=(UniquePtr&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  UniquePtr(const UniquePtr&) = delete;
  UniquePtr& operator=(const UniquePtr&) = delete;
  ~UniquePtr() { reset(); }

  T* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

  T* release() { return std::exchange(ptr_, nullptr); }
  void reset(T* ptr = nullptr) {
    if (T* old = std::exchange(ptr_, ptr)) {
      Release{}(old);
    }
  }

 private:
  T* ptr_ = nullptr;
};

}  // namespace audio_host::linux_host
