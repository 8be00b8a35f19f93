// A joinable, named operating-system thread for the capture worker.
//
// Native threads rather than std::thread so that a failed creation yields
// the system's error code (a Win32 code from CreateThread, an errno value from
// pthread_create) for the error text, and so that the stack size can be
// chosen. The body is owned by the thread once it starts; `WorkerThread`
// itself belongs to the thread that started it, which alone joins it.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "result.h"
#include "unique_resource.h"

#ifndef _WIN32
#include <pthread.h>
#endif

namespace vantle_audio {

#ifdef _WIN32
// A Windows kernel handle, owned without windows.h in this header: the
// traits are those of vantle::WinHandle (win_handle.h), defined with the Windows
// code.
struct OpaqueHandleTraits {
  using Value = void*;
  static Value invalid() { return nullptr; }
  static bool is_valid(Value handle);
  static void close(Value handle);
};
using OpaqueHandle = vantle::UniqueResource<OpaqueHandleTraits>;
#endif

// What a worker thread runs, once; destroyed on that thread afterwards.
class ThreadBody {
 public:
  virtual ~ThreadBody() = default;
  virtual void run() = 0;
};

class WorkerThread {
 public:
  WorkerThread() = default;
  WorkerThread(WorkerThread&& other) noexcept;
  // Joins a thread still running first.
  WorkerThread& operator=(WorkerThread&& other) noexcept;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // Joins a thread still running.
  ~WorkerThread() { join(); }

  // Starts `body` on a new thread named `name` (ASCII, at most 15 bytes) with
  // `stack_size` bytes of stack (0: the system's default). On failure the
  // body is destroyed before this returns and the error is the system's text
  // with its code (os_error_text). An exception that escapes the body ends
  // the thread quietly: the thread counts as ended for join().
  static vantle::Result<WorkerThread> start(const char* name, std::unique_ptr<ThreadBody> body,
                                            std::size_t stack_size = 0);

  bool joinable() const;
  // Waits for the thread to end; does nothing when there is none.
  void join();
  // The same for a thread that may be blocked in a synchronous write to a
  // reader that has stopped reading. On Windows, such a write is cancelled
  // (CancelSynchronousIo, every 10 ms; the write then fails with
  // ERROR_OPERATION_ABORTED) until the thread ends; a thread still running
  // after `limit` (a write the system cannot cancel) is let go: it is never
  // joined, keeps what its body owns and ends with the process. Returns
  // false then. Elsewhere the thread's writes wait on its stop as well
  // (vantle::WriteStop), so this is join() and `limit` is not needed.
  bool join_cancelling_io(std::chrono::milliseconds limit);

 private:
#ifdef _WIN32
  OpaqueHandle thread_;
#else
  pthread_t thread_{};
  bool joinable_ = false;
#endif
};

namespace detail {
// Runs and then destroys the ThreadBody behind `context`, on the new thread.
void run_thread_body(void* context);
}  // namespace detail

}  // namespace vantle_audio
