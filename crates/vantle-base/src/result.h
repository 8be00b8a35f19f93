// Errors as values: an operation returns its result or an owned UTF-8
// message. There is no error code or class besides the text; the first error
// ends the run, so nothing here needs more than that.
#pragma once

#include <cassert>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vantle {

// The failure of an operation: the message that will reach the translator.
struct Error {
  std::string message;
};

inline Error make_error(std::string message) {
  return Error{std::move(message)};
}

// Success without a value, or an error message.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : message_(std::move(error.message)) {}  // NOLINT: implicit by design

  static Status success() { return Status(); }

  bool ok() const { return !message_.has_value(); }
  explicit operator bool() const { return ok(); }
  const std::string& error() const {
    assert(!ok());
    return *message_;
  }

 private:
  std::optional<std::string> message_;
};

// A value of type T, or an error message.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const std::string& error() const {
    assert(!ok());
    return std::get<1>(state_).message;
  }
  // The error as a value of its own, for passing it on unchanged.
  Error take_error() && {
    assert(!ok());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, Error> state_;
};

}  // namespace vantle
