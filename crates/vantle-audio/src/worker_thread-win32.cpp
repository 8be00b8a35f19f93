// The worker thread on Windows: CreateThread, and CancelSynchronousIo for a
// thread blocked in a write.
#include <chrono>
#include <string>
#include <utility>

#include "std_streams.h"
#include "win_handle.h"
#include "worker_thread.h"

namespace vantle_audio {

bool OpaqueHandleTraits::is_valid(void* handle) {
  return vantle::WinHandleTraits::is_valid(handle);
}
void OpaqueHandleTraits::close(void* handle) {
  vantle::WinHandleTraits::close(handle);
}

namespace {

DWORD WINAPI thread_entry(LPVOID context) {
  detail::run_thread_body(context);
  return 0;
}

// SetThreadDescription exists from Windows 10 1607 on; older systems (and
// some Wine versions) lack it, so it is looked up rather than imported.
void set_thread_name(HANDLE thread, const char* name) {
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) {
    return;
  }
  const FARPROC found = GetProcAddress(kernel, "SetThreadDescription");
  if (found == nullptr) {
    return;
  }
  const auto set_description =
      reinterpret_cast<SetThreadDescriptionFn>(reinterpret_cast<void (*)()>(found));
  const std::string narrow(name);
  const std::wstring wide(narrow.begin(), narrow.end());  // ASCII by contract
  (void)set_description(thread, wide.c_str());
}

// How often a write that holds up the join is cancelled: one that starts
// just after a cancellation is caught by the next.
constexpr DWORD kCancelIntervalMs = 10;

}  // namespace

WorkerThread::WorkerThread(WorkerThread&& other) noexcept : thread_(std::move(other.thread_)) {}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
  if (this != &other) {
    join();
    thread_ = std::move(other.thread_);
  }
  return *this;
}

vantle::Result<WorkerThread> WorkerThread::start(const char* name, std::unique_ptr<ThreadBody> body,
                                                 std::size_t stack_size) {
  const DWORD flags = stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
  WorkerThread thread;
  thread.thread_.reset(CreateThread(nullptr, stack_size, thread_entry, body.get(), flags, nullptr));
  if (!thread.thread_) {
    return vantle::make_error(vantle::os_error_text(static_cast<std::int32_t>(GetLastError())));
  }
  (void)body.release();  // the thread owns it now
  set_thread_name(thread.thread_.get(), name);
  return thread;
}

bool WorkerThread::joinable() const {
  return thread_.valid();
}

void WorkerThread::join() {
  if (thread_) {
    (void)WaitForSingleObject(thread_.get(), INFINITE);
    thread_.reset();
  }
}

bool WorkerThread::join_cancelling_io(std::chrono::milliseconds limit) {
  if (!thread_) {
    return true;
  }
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (WaitForSingleObject(thread_.get(), kCancelIntervalMs) == WAIT_OBJECT_0) {
      thread_.reset();
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) {
      thread_.reset();  // closing the handle lets the thread go; it runs on
      return false;
    }
    // ERROR_NOT_FOUND when the thread is not in a write: nothing to do.
    (void)CancelSynchronousIo(thread_.get());
  }
}

}  // namespace vantle_audio
