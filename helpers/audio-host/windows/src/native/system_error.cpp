#include "native/system_error.h"

#include "error_text.h"
#include "text.h"

namespace audio_host::win {
namespace {

std::wstring bstr_text(const UniqueBstr& text) {
  return text.get() == nullptr ? std::wstring() : std::wstring(text.get(), text.length());
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

std::wstring system_message(std::int32_t code) {
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD message_id = static_cast<DWORD>(code);
  HMODULE ntdll = nullptr;
  if ((message_id & 0x10000000u) != 0) {  // an NTSTATUS wrapped in an HRESULT
    message_id &= ~0x10000000u;
    ntdll = LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (ntdll != nullptr) {
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
  }
  UniqueLocalMemory buffer;
  const DWORD length =
      FormatMessageW(flags, ntdll, message_id, 0, buffer.put_for_format_message(), 0, nullptr);
  std::wstring message;
  if (length != 0 && buffer.get() != nullptr) {
    message.assign(buffer.get(), length);
  }
  if (ntdll != nullptr) {
    FreeLibrary(ntdll);
  }
  return message;
}

}  // namespace

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
  const std::wstring description = error.error_object() != nullptr
                                       ? error_object_description(error.error_object())
                                       : system_message(error.code());
  const std::size_t length = trimmed_length(description.data(), description.size());
  return compose_system_error_text(error.code(),
                                   vantle_audio::utf16_to_utf8_lossy(description.data(), length));
}

std::string context_message(std::string_view context, const SystemError& error) {
  return compose_context_message(context, system_error_text(error));
}

}  // namespace audio_host::win
