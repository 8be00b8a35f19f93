#include "shared/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "unique_fd.h"

namespace audio_host::linux_host {
namespace {

// Whether `fd` was closed, in which case /dev/null now holds its number
// (open returns the lowest free descriptor, and the lower ones are open).
bool reopen_if_closed(int fd) {
  if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
    return false;
  }
  const int opened = ::open("/dev/null", O_RDWR);
  if (opened != fd) {
    vantle::UniqueFd stray(opened);  // cannot happen: the lower descriptors are open
  }
  return true;
}

}  // namespace

MissingStandardStreams open_missing_standard_streams() {
  MissingStandardStreams missing;
  missing.input = reopen_if_closed(STDIN_FILENO);
  missing.output = reopen_if_closed(STDOUT_FILENO);
  missing.error = reopen_if_closed(STDERR_FILENO);
  return missing;
}

}  // namespace audio_host::linux_host
