// Process handles on Linux: pidfds, which poll as readable once the
// process has ended.
#include <poll.h>

#include <cerrno>

#include "process_handle.h"
#include "unique_fd.h"

namespace vantle {

bool ProcessHandleTraits::is_valid(Value handle) {
  return FdTraits::is_valid(handle);
}

void ProcessHandleTraits::close(Value handle) {
  FdTraits::close(handle);
}

bool process_running(ProcessHandleTraits::Value handle) {
  if (!ProcessHandleTraits::is_valid(handle)) {
    return false;
  }
  pollfd watched{handle, POLLIN, 0};
  while (true) {
    const int ready = ::poll(&watched, 1, 0);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    // Readable (ended) or a failed poll both count as not running.
    return ready == 0;
  }
}

}  // namespace vantle
