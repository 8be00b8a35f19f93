#include "std_streams.h"

#include <algorithm>
#include <string>

#include "text.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#include <cerrno>
#include <system_error>
#endif

namespace vantle_audio {
namespace {

constexpr const char* kWriteZero = "failed to write whole buffer";

#ifdef _WIN32

bool is_missing(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

HANDLE std_handle(StandardStream stream) {
  return GetStdHandle(stream == StandardStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// A console shows text through its wide-character interface; the bytes are
// UTF-8 and are converted first.
Status write_console(HANDLE console, const void* data, std::size_t size) {
  const std::u16string wide =
      utf8_to_utf16_lossy(std::string_view(static_cast<const char*>(data), size));
  std::size_t done = 0;
  while (done < wide.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
    DWORD written = 0;
    if (!WriteConsoleW(console, reinterpret_cast<const wchar_t*>(wide.data() + done), chunk,
                       &written, nullptr)) {
      const DWORD code = GetLastError();
      if (code == ERROR_INVALID_HANDLE) {
        return Status::success();
      }
      return make_error(os_error_text(static_cast<std::int32_t>(code)));
    }
    if (written == 0) {
      return make_error(kWriteZero);
    }
    done += written;
  }
  return Status::success();
}

#endif

}  // namespace

std::mutex& standard_stream_lock(StandardStream stream) {
  static std::mutex output_lock;
  static std::mutex error_lock;
  return stream == StandardStream::output ? output_lock : error_lock;
}

#ifdef _WIN32

Status write_all_to_handle(NativeHandle handle, const void* data, std::size_t size) {
  if (is_missing(handle)) {
    return Status::success();
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle, bytes, chunk, &written, nullptr)) {
      const DWORD code = GetLastError();
      if (code == ERROR_INVALID_HANDLE) {
        return Status::success();  // treated like a missing handle
      }
      return make_error(os_error_text(static_cast<std::int32_t>(code)));
    }
    if (written == 0) {
      return make_error(kWriteZero);
    }
    bytes += written;
    size -= written;
  }
  return Status::success();
}

Status write_all(StandardStream stream, const void* data, std::size_t size) {
  HANDLE handle = std_handle(stream);
  if (is_missing(handle)) {
    return Status::success();
  }
  DWORD mode = 0;
  if (stream == StandardStream::error && GetConsoleMode(handle, &mode)) {
    return write_console(handle, data, size);
  }
  return write_all_to_handle(handle, data, size);
}

std::string os_error_text(std::int32_t code) {
  wchar_t buffer[2048];
  DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD message_id = static_cast<DWORD>(code);
  HMODULE module = nullptr;
  if ((message_id & 0x10000000u) != 0) {
    module = GetModuleHandleW(L"NTDLL.DLL");
    if (module != nullptr) {
      message_id &= ~0x10000000u;
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
  }
  const DWORD length = FormatMessageW(flags, module, message_id, 0, buffer,
                                      static_cast<DWORD>(std::size(buffer)), nullptr);
  if (length == 0) {
    const DWORD format_error = GetLastError();
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
           std::to_string(format_error) + ")";
  }
  std::optional<std::string> message = utf16_to_utf8_strict(buffer, length);
  if (!message) {
    return "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
  }
  const std::size_t end = message->find_last_not_of("\t\n\f\r ");
  message->erase(end == std::string::npos ? 0 : end + 1);
  return *message + " (os error " + std::to_string(code) + ")";
}

#else

Status write_all_to_handle(NativeHandle fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EBADF) {
        return Status::success();  // no such stream: the bytes are discarded
      }
      return make_error(os_error_text(errno));
    }
    if (written == 0) {
      return make_error(kWriteZero);
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return Status::success();
}

Status write_all(StandardStream stream, const void* data, std::size_t size) {
  return write_all_to_handle(stream == StandardStream::output ? STDOUT_FILENO : STDERR_FILENO, data,
                             size);
}

std::string os_error_text(std::int32_t code) {
  return std::generic_category().message(code) + " (os error " + std::to_string(code) + ")";
}

#endif

}  // namespace vantle_audio
