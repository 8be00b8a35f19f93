// The process's standard output and standard error, as the host writes them.
//
// Bytes go straight to the operating system's handle (no C stdio buffer, no
// text-mode translation: a 0x0A byte stays one byte). Each stream has one
// process-wide lock; a writer holds it for one whole unit (a PCM block, an
// event line, the statistics line, the listing) so units never interleave.
// The locks are the only shared state here; everything else is stateless and
// callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "result.h"

namespace vantle_audio {

enum class StandardStream { output, error };

// The process-wide lock of one standard stream.
std::mutex& standard_stream_lock(StandardStream stream);

// Writes every byte to the stream; the caller holds the stream's lock.
// A short write is continued with the rest and an interrupted write retried.
// A write that accepts no byte fails with "failed to write whole buffer"; any
// other failure with the operating-system error text. A missing or invalid
// handle counts as success and the bytes are discarded. On Windows, standard
// error attached to a console is written as UTF-16 through the console.
Status write_all(StandardStream stream, const void* data, std::size_t size);

// The same for an explicit handle (a file descriptor, or a HANDLE on
// Windows), without the console special case.
#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif
Status write_all_to_handle(NativeHandle handle, const void* data, std::size_t size);

// The operating system's message for an error code of the input/output or
// thread layer, followed by " (os error N)".
std::string os_error_text(std::int32_t code);

}  // namespace vantle_audio
