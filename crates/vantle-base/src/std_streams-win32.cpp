// The standard streams on Windows: WriteFile on the standard handles, and
// WriteConsoleW for standard error on a console.
#include <algorithm>
#include <optional>
#include <string>

#include <windows.h>
#include "std_streams.h"
#include "system_message.h"
#include "text.h"

namespace vantle {
namespace {

constexpr const char* kWriteZero = "failed to write whole buffer";
// The most UTF-16 units given to one WriteConsoleW call: older consoles
// fail larger writes (ERROR_NOT_ENOUGH_MEMORY), so text is cut into pieces.
constexpr std::size_t kMaxConsoleUnits = 8192;
// The most bytes given to one WriteFile call: its count is a DWORD, and a
// pipe takes large writes in pieces anyway.
constexpr std::size_t kMaxWriteBytes = std::size_t{1} << 30;

bool is_missing(HANDLE handle) {
  return handle == nullptr || handle == INVALID_HANDLE_VALUE;
}

HANDLE std_handle(StandardStream stream) {
  return GetStdHandle(stream == StandardStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

// The failures that mean the reader has closed its end of the pipe.
bool is_reader_gone(DWORD code) {
  return code == ERROR_BROKEN_PIPE || code == ERROR_NO_DATA || code == ERROR_PIPE_NOT_CONNECTED;
}

WriteStatus failed_write(DWORD code) {
  return WriteStatus::failed(os_error_text(static_cast<std::int32_t>(code)), is_reader_gone(code));
}

// A missing or invalid handle: discarded, or the failure of a write to it.
WriteStatus missing_handle(MissingStream missing) {
  return missing == MissingStream::discard ? WriteStatus::written()
                                           : failed_write(ERROR_INVALID_HANDLE);
}

// A console shows text through its wide-character interface; the bytes are
// UTF-8 and are converted first.
WriteStatus write_console(HANDLE console, const void* data, std::size_t size,
                          MissingStream missing) {
  const std::u16string wide =
      utf8_to_utf16_lossy(std::string_view(static_cast<const char*>(data), size));
  std::size_t done = 0;
  while (done < wide.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min(wide.size() - done, kMaxConsoleUnits));
    DWORD written = 0;
    if (!WriteConsoleW(console, reinterpret_cast<const wchar_t*>(wide.data() + done), chunk,
                       &written, nullptr)) {
      const DWORD code = GetLastError();
      return code == ERROR_INVALID_HANDLE ? missing_handle(missing) : failed_write(code);
    }
    if (written == 0) {
      return WriteStatus::failed(kWriteZero, false);
    }
    done += written;
  }
  return WriteStatus::written();
}

}  // namespace

// `WriteStop` holds nothing here: a write that waits for its reader is
// cancelled by the stopping thread (CancelSynchronousIo) and fails with
// ERROR_OPERATION_ABORTED.
WriteStatus write_all_to_handle(NativeHandle handle, const void* data, std::size_t size,
                                MissingStream missing, WriteStop) {
  if (is_missing(handle)) {
    return missing_handle(missing);
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min(size, kMaxWriteBytes));
    DWORD written = 0;
    if (!WriteFile(handle, bytes, chunk, &written, nullptr)) {
      const DWORD code = GetLastError();
      // A handle that is not one (closed, or never a file) counts as missing.
      return code == ERROR_INVALID_HANDLE ? missing_handle(missing) : failed_write(code);
    }
    if (written == 0) {
      return WriteStatus::failed(kWriteZero, false);
    }
    bytes += written;
    size -= written;
  }
  return WriteStatus::written();
}

WriteStatus write_all(StandardStream stream, const void* data, std::size_t size,
                      MissingStream missing, WriteStop stop) {
  HANDLE handle = std_handle(stream);
  if (is_missing(handle)) {
    return missing_handle(missing);
  }
  DWORD mode = 0;
  if (stream == StandardStream::error && GetConsoleMode(handle, &mode)) {
    return write_console(handle, data, size, missing);
  }
  return write_all_to_handle(handle, data, size, missing, stop);
}

std::string os_error_text(std::int32_t code) {
  const SystemMessage found = look_up_system_message(static_cast<std::uint32_t>(code));
  std::string message;
  if (found.lookup_error != 0) {
    message = "OS Error " + std::to_string(code) + " (FormatMessageW() returned error " +
              std::to_string(found.lookup_error) + ")";
  } else if (std::optional<std::string> text =
                 utf16_to_utf8_strict(found.text.data(), found.text.size())) {
    message = std::move(*text);
    const std::size_t end = message.find_last_not_of("\t\n\f\r ");
    message.erase(end == std::string::npos ? 0 : end + 1);
  } else {
    message = "OS Error " + std::to_string(code) + " (FormatMessageW() returned invalid UTF-16)";
  }
  // Whatever the message, the code ends the text.
  return message + " (os error " + std::to_string(code) + ")";
}

}  // namespace vantle
