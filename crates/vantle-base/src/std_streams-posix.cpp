// The standard streams on POSIX systems: write(2) on descriptors 1 and 2,
// with poll(2) first when a write must not outlast a stop.
// SIGPIPE must be ignored by the program for a closed reader to come back as
// EPIPE (the reader going away) instead of ending the process.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "std_streams.h"

namespace vantle {
namespace {

constexpr const char* kWriteZero = "failed to write whole buffer";
constexpr const char* kWriteStopped = "write stopped";

enum class Readiness { writable, stopped, failed };

// Waits until `fd` takes bytes (or has an error or hang-up for write() to
// report) or `stop_fd` is readable; the stop wins when both are.
Readiness wait_writable_or_stopped(int fd, int stop_fd, int& error) {
  for (;;) {
    pollfd fds[2] = {{stop_fd, POLLIN, 0}, {fd, POLLOUT, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = errno;
      return Readiness::failed;
    }
    if (fds[0].revents != 0) {
      return Readiness::stopped;
    }
    if (fds[1].revents != 0) {
      return Readiness::writable;
    }
  }
}

}  // namespace

WriteStatus write_all_to_handle(NativeHandle fd, const void* data, std::size_t size,
                                MissingStream missing, WriteStop stop) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  // A negative descriptor is left to write(), which reports it; poll() would
  // skip it and wait for the stop alone.
  const bool stoppable = stop.fd >= 0 && fd >= 0;
  while (size > 0) {
    if (stoppable) {
      int error = 0;
      switch (wait_writable_or_stopped(fd, stop.fd, error)) {
        case Readiness::writable:
          break;
        case Readiness::stopped:
          return WriteStatus::failed(kWriteStopped, false);
        case Readiness::failed:
          return WriteStatus::failed(os_error_text(error), false);
      }
    }
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      const int code = errno;
      if (code == EINTR || (stoppable && (code == EAGAIN || code == EWOULDBLOCK))) {
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
                      MissingStream missing, WriteStop stop) {
  return write_all_to_handle(stream == StandardStream::output ? STDOUT_FILENO : STDERR_FILENO, data,
                             size, missing, stop);
}

std::string os_error_text(std::int32_t code) {
  return std::generic_category().message(code) + " (os error " + std::to_string(code) + ")";
}

}  // namespace vantle
