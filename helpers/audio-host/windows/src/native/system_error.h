// A failed platform call, kept until it becomes a message: its HRESULT and,
// after a failed COM call, the calling thread's COM error object. Built on
// the thread where the call failed (the error object is per thread); after
// that it is an ordinary value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "native/owners.h"

namespace audio_host::win {

// GetLastError's value as an HRESULT: 0x8007xxxx for a positive value, 0 for
// 0, a negative value unchanged.
std::int32_t hresult_from_win32(std::uint32_t last_error);

// "0x" and eight upper-case hex digits of the value taken as unsigned.
std::string format_error_code(std::int32_t code);

// The length of `units` without its trailing white space (U+0009 to U+000D
// and U+0020). `Unit` is a 16-bit character type.
template <class Unit>
std::size_t trimmed_length(const Unit* units, std::size_t count) {
  while (count > 0) {
    const auto unit = static_cast<std::uint16_t>(units[count - 1]);
    if (unit != 0x20 && (unit < 0x09 || unit > 0x0D)) {
      break;
    }
    --count;
  }
  return count;
}

// "description (0x........)", or the code alone when the description is empty.
std::string compose_system_error_text(std::int32_t code, std::string_view description);

class SystemError {
 public:
  // GetLastError right after a failed Win32 call, as an HRESULT.
  static SystemError from_last_error();
  // A failed HRESULT of a COM call; takes over the thread's error object.
  static SystemError from_hresult(HRESULT result);
  // A call that reported failure without a code (code 0, no error object).
  static SystemError without_code();

  std::int32_t code() const { return code_; }
  IErrorInfo* error_object() const { return error_object_.get(); }

 private:
  SystemError(std::int32_t code, ComPtr<IErrorInfo> error_object)
      : code_(code), error_object_(std::move(error_object)) {}

  std::int32_t code_;
  ComPtr<IErrorInfo> error_object_;
};

// "description (0xXXXXXXXX)", or the code alone without a description.
std::string system_error_text(const SystemError& error);

// "context: " followed by system_error_text(error).
std::string context_message(std::string_view context, const SystemError& error);

}  // namespace audio_host::win
