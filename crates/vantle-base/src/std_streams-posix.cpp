// The standard streams on POSIX systems: write(2) on descriptors 1 and 2.
// SIGPIPE must be ignored by the program for a closed reader to come back as
// EPIPE (the reader going away) instead of ending the process.
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "std_streams.h"

namespace vantle {
namespace {

constexpr const char* kWriteZero = "failed to write whole buffer";

}  // namespace

WriteStatus write_all_to_handle(NativeHandle fd, const void* data, std::size_t size,
                                MissingStream missing) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      const int code = errno;
      if (code == EINTR) {
        continue;
      }
      if (code == EBADF && missing == MissingStream::discard) {
        return WriteStatus::written();  // no such stream: the bytes are discarded
      }
      return WriteStatus::failed(os_error_text(code), code == EPIPE);
    }
    if (written == 0) {
      return WriteStatus::failed(kWriteZero, false);
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return WriteStatus::written();
}

WriteStatus write_all(StandardStream stream, const void* data, std::size_t size,
                      MissingStream missing) {
  return write_all_to_handle(stream == StandardStream::output ? STDOUT_FILENO : STDERR_FILENO, data,
                             size, missing);
}

std::string os_error_text(std::int32_t code) {
  return std::generic_category().message(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace vantle
