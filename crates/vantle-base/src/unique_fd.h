// The owner of a POSIX file descriptor (a file, a pidfd, a signalfd, an
// eventfd, a pipe's end): closed exactly once, its failure ignored.
// Used by one thread at a time.
#pragma once

#include <unistd.h>

#include "unique_resource.h"

namespace vantle {

struct FdTraits {
  using Value = int;
  static constexpr Value invalid() { return -1; }
  static bool is_valid(Value fd) { return fd >= 0; }
  static void close(Value fd) { (void)::close(fd); }
};
using UniqueFd = UniqueResource<FdTraits>;

}  // namespace vantle
