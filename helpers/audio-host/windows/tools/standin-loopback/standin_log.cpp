#include "standin_log.h"

#include <cstdio>

#include "native/win_declarations.h"

namespace standin_loopback {
namespace {

namespace win = audio_host::win;

struct NamedIid {
  const GUID* iid;
  const char* name;
};

const NamedIid kNamedIids[] = {
    {&IID_IUnknown, "IUnknown"},
    {&win::kIidAgileObject, "IAgileObject"},
    {&win::kIidMarshal, "IMarshal"},
    {&win::kIidAudioClient, "IAudioClient"},
    {&win::kIidAudioCaptureClient, "IAudioCaptureClient"},
    {&win::kIidActivateAudioInterfaceAsyncOperation, "IActivateAudioInterfaceAsyncOperation"},
    {&win::kIidActivateAudioInterfaceCompletionHandler, "IActivateAudioInterfaceCompletionHandler"},
};

void append_escaped(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > ' ' && byte <= '~' && byte != '%') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
}

}  // namespace

std::string iid_text(const GUID& iid) {
  for (const NamedIid& named : kNamedIids) {
    if (IsEqualGUID(iid, *named.iid)) {
      return named.name;
    }
  }
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(iid.Data1), iid.Data2, iid.Data3, iid.Data4[0],
                iid.Data4[1], iid.Data4[2], iid.Data4[3], iid.Data4[4], iid.Data4[5], iid.Data4[6],
                iid.Data4[7]);
  return text;
}

LogEvent::LogEvent(std::string_view event) : line_(event) {}

LogEvent& LogEvent::text(std::string_view key, std::string_view value) {
  line_ += ' ';
  line_ += key;
  line_ += '=';
  append_escaped(line_, value);
  return *this;
}

LogEvent& LogEvent::number(std::string_view key, std::uint64_t value) {
  return text(key, std::to_string(value));
}

LogEvent& LogEvent::hresult(std::string_view key, HRESULT value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "0x%08lX",
                static_cast<unsigned long>(static_cast<std::uint32_t>(value)));
  return text(key, digits);
}

LogEvent& LogEvent::hex(std::string_view key, std::uint32_t value) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "0x%lX", static_cast<unsigned long>(value));
  return text(key, digits);
}

LogEvent& LogEvent::yes_no(std::string_view key, bool value) {
  return text(key, value ? "yes" : "no");
}

LogEvent& LogEvent::iid(std::string_view key, const GUID& value) {
  return text(key, iid_text(value));
}

Log::Log(const std::wstring& path) : start_(std::chrono::steady_clock::now()) {
  if (!path.empty()) {
    // Appending writes land at the end even when several processes (or
    // activations) share the file; readers and deleters are let in.
    file_.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  }
}

void Log::write(const LogEvent& event) {
  const std::lock_guard lock(mutex_);
  write_locked(event);
}

void Log::write_locked(const LogEvent& event) {
  if (!file_.valid()) {
    return;
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start_);
  std::string line = event.line();
  line += " t_ms=" + std::to_string(elapsed.count());
  line += " tid=" + std::to_string(GetCurrentThreadId());
  line += '\n';
  DWORD written = 0;
  WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace standin_loopback
