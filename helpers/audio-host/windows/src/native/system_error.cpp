#include "native/system_error.h"

#include "error_text.h"
#include "system_message.h"
#include "text.h"

namespace audio_host::win {
namespace {

std::wstring bstr_text(const UniqueBstr& text) {
  return text ? std::wstring(text.get(), SysStringLen(text.get())) : std::wstring();
}

// The description an error object offers: the restricted description when
// there is one, else the plain one from the same call, else GetDescription.
std::wstring error_object_description(IErrorInfo* error_object) {
  std::wstring description;
  ComPtr<IRestrictedErrorInfo> restricted;
  if (SUCCEEDED(error_object->QueryInterface(kIidRestrictedErrorInfo, restricted.put_void())) &&
      restricted) {
    UniqueBstr plain;
    UniqueBstr restricted_text;
    UniqueBstr capability_sid;
    HRESULT detail_code = S_OK;
    if (SUCCEEDED(restricted->GetErrorDetails(plain.put(), &detail_code, restricted_text.put(),
                                              capability_sid.put()))) {
      description = bstr_text(restricted_text);
      if (description.empty()) {
        description = bstr_text(plain);
      }
    }
  }
  if (description.empty()) {
    UniqueBstr text;
    if (SUCCEEDED(error_object->GetDescription(text.put()))) {
      description = bstr_text(text);
    }
  }
  return description;
}

}  // namespace

std::int32_t hresult_from_win32(std::uint32_t last_error) {
  const auto value = static_cast<std::int32_t>(last_error);
  if (value <= 0) {
    return value;
  }
  return static_cast<std::int32_t>(0x80070000u | (last_error & 0xFFFFu));
}

std::string format_error_code(std::int32_t code) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto value = static_cast<std::uint32_t>(code);
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text.push_back(kHex[(value >> shift) & 0xF]);
  }
  return text;
}

std::string compose_system_error_text(std::int32_t code, std::string_view description) {
  if (description.empty()) {
    return format_error_code(code);
  }
  std::string text(description);
  text += " (";
  text += format_error_code(code);
  text += ')';
  return text;
}

SystemError SystemError::from_last_error() {
  return SystemError(hresult_from_win32(GetLastError()), nullptr);
}

SystemError SystemError::from_hresult(HRESULT result) {
  ComPtr<IErrorInfo> error_object;
  if (GetErrorInfo(0, error_object.put()) != S_OK) {
    error_object.reset();
  }
  return SystemError(result, std::move(error_object));
}

SystemError SystemError::without_code() {
  return SystemError(0, nullptr);
}

std::string system_error_text(const SystemError& error) {
  // A failed lookup leaves the description empty: the code stands alone.
  const std::wstring description =
      error.error_object() != nullptr
          ? error_object_description(error.error_object())
          : vantle::look_up_system_message(static_cast<std::uint32_t>(error.code())).text;
  const std::size_t length = trimmed_length(description.data(), description.size());
  return compose_system_error_text(error.code(),
                                   vantle::utf16_to_utf8_lossy(description.data(), length));
}

std::string context_message(std::string_view context, const SystemError& error) {
  return compose_context_message(context, system_error_text(error));
}

}  // namespace audio_host::win
