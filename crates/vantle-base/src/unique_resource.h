// One owner type for every kind of handle the program holds, in the style of
// WIL's unique_any: the traits name the handle's type, its close function
// and which values are no handle at all, so call sites never compare against
// an invalid value nor call a release function themselves.
//
//   struct FdTraits {
//     using Value = int;
//     static constexpr int invalid() { return -1; }
//     static bool is_valid(int fd) { return fd >= 0; }
//     static void close(int fd) { ::close(fd); }
//   };
//   using UniqueFd = UniqueResource<FdTraits>;
//
// An owner releases its value exactly once, in its destructor or reset();
// the close function's failure is ignored (nothing useful can follow it).
// Owners are moved, never copied, and are used by one thread at a time.
#pragma once

#include <utility>

namespace vantle {

template <class Traits>
class UniqueResource {
 public:
  using Value = typename Traits::Value;

  UniqueResource() = default;
  // Takes over `value`; any value the traits call invalid is no handle.
  explicit UniqueResource(Value value) : value_(value) {}
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  ~UniqueResource() { reset(); }

  Value get() const { return value_; }
  bool valid() const { return Traits::is_valid(value_); }
  explicit operator bool() const { return valid(); }

  // Gives the value up without releasing it.
  Value release() { return std::exchange(value_, Traits::invalid()); }
  // Releases the current value (if it is one) and takes over `value`.
  void reset(Value value = Traits::invalid()) {
    const Value old = std::exchange(value_, value);
    if (Traits::is_valid(old)) {
      Traits::close(old);
    }
  }
  // For functions that return a new value through a pointer: releases the
  // current one first.
  Value* put() {
    reset();
    return &value_;
  }

 private:
  Value value_ = Traits::invalid();
};

// Traits for a pointer released by one function, such as a library's
// object and its unref: UniqueResource<PointerTraits<pa_context,
// &pa_context_unref>>.
template <class T, auto Close>
struct PointerTraits {
  using Value = T*;
  static constexpr Value invalid() { return nullptr; }
  static bool is_valid(Value pointer) { return pointer != nullptr; }
  static void close(Value pointer) { (void)Close(pointer); }
};

template <class T, auto Close>
using UniquePointer = UniqueResource<PointerTraits<T, Close>>;

}  // namespace vantle
