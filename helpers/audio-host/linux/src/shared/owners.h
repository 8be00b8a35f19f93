// The owner types of the Linux host: file descriptors (pidfds, the
// signalfd, /proc files) and pointers released by one function (libpulse
// objects, directory streams), each a UniqueResource of the base library
// that releases its value exactly once and ignores the release call's
// failure.
//
// Owners are not shared between threads; whoever holds one uses it.
#pragma once

#include "unique_fd.h"
#include "unique_resource.h"

namespace audio_host::linux_host {

using vantle::UniqueFd;
// A pointer released by `Close`, e.g. UniquePointer<pa_context,
// &pa_context_unref>.
using vantle::UniquePointer;

}  // namespace audio_host::linux_host
