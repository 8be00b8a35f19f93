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
