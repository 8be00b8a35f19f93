// The owner types of the Linux host: file descriptors (pidfds, the
// signalfd, /proc files) and pointers released by one function (libpulse
// objects, directory streams), each a UniqueResource that releases its value
// exactly once and ignores the release call's failure.
//
// Owners are not shared between threads; whoever holds one uses it.
#pragma once

#include <unistd.h>

#include "unique_resource.h"

namespace audio_host::linux_host {

struct FdTraits {
  using Value = int;
  static constexpr Value invalid() { return -1; }
  static bool is_valid(Value fd) { return fd >= 0; }
  static void close(Value fd) { (void)::close(fd); }
};
using UniqueFd = vantle_audio::UniqueResource<FdTraits>;

// A pointer released by `Close`, e.g. UniquePointer<pa_context,
// &pa_context_unref>.
using vantle_audio::UniquePointer;

}  // namespace audio_host::linux_host
