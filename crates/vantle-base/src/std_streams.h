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

namespace vantle {

enum class StandardStream { output, error };

// The process-wide lock of one standard stream.
std::mutex& standard_stream_lock(StandardStream stream);

// How a write ended: every byte written, or a failure with its
// operating-system error text. A failure may be the reader closing its end
// of a pipe (EPIPE; on Windows a broken pipe, "no data" or a pipe that is not
// connected): a capture takes that as the translator going away, not as an
// error.
class [[nodiscard]] WriteStatus {
 public:
  static WriteStatus written() { return WriteStatus(); }
  static WriteStatus failed(std::string message, bool reader_gone) {
    WriteStatus status;
    status.error_ = Status(make_error(std::move(message)));
    status.reader_gone_ = reader_gone;
    return status;
  }

  bool ok() const { return error_.ok(); }
  explicit operator bool() const { return ok(); }
  bool reader_gone() const { return reader_gone_; }
  const std::string& error() const { return error_.error(); }
  // The outcome as a plain status: the reader's going away is a failure too.
  const Status& status() const { return error_; }

 private:
  WriteStatus() = default;
  Status error_;
  bool reader_gone_ = false;
};

// What a write does when the stream has no handle, or an invalid one. The
// PCM stream and the event lines discard their bytes (nobody reads them);
// the listing, which exists only to be read, fails.
enum class MissingStream { discard, fail };

// What ends a write that waits for its reader to make room (the capture
// worker's stop), so that a reader that stalls cannot hold a stop.
// - POSIX: a descriptor that becomes readable once the stop is given. Before
//   every attempt the write waits until the handle takes bytes or the stop is
//   there; a handle that takes none for the moment (EAGAIN) is waited for the
//   same way. On a pipe, room for one byte is room for a whole page, so a
//   write of up to 4096 bytes never blocks once the pipe has said it takes
//   bytes.
// - Windows: a synchronous write cannot wait on two things; the stopping
//   thread cancels it instead (CancelSynchronousIo), so nothing is held here.
// A write the stop ends fails with "write stopped" (not the reader going
// away); what it wrote before stays written.
struct WriteStop {
#ifndef _WIN32
  int fd = -1;  // -1: no stop, the write waits for the reader alone
#endif
};

// Writes every byte to the stream; the caller holds the stream's lock.
// A short write is continued with the rest and an interrupted write retried.
// A write that accepts no byte fails with "failed to write whole buffer"; any
// other failure with the operating-system error text. On Windows, standard
// error attached to a console is written as UTF-16 through the console.
WriteStatus write_all(StandardStream stream, const void* data, std::size_t size,
                      MissingStream missing = MissingStream::discard, WriteStop stop = {});

// The same for an explicit handle (a file descriptor, or a HANDLE on
// Windows), without the console special case.
#ifdef _WIN32
using NativeHandle = void*;
#else
using NativeHandle = int;
#endif
WriteStatus write_all_to_handle(NativeHandle handle, const void* data, std::size_t size,
                                MissingStream missing = MissingStream::discard,
                                WriteStop stop = {});

// The operating system's message for an error code of the input/output or
// thread layer, followed by " (os error N)".
std::string os_error_text(std::int32_t code);

}  // namespace vantle
