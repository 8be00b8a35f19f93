// The worker thread and the poll sleeper on Windows: CreateThread, and a
// high-resolution waitable timer.
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

// Not in older SDK headers (mingw-w64 10 among them).
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

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

PollSleeper::PollSleeper()
    : timer_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS)) {}

PollSleeper::~PollSleeper() = default;

void PollSleeper::sleep(std::chrono::microseconds duration) {
  if (timer_) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(duration.count()) * 10;  // relative, 100 ns units
    if (SetWaitableTimer(timer_.get(), &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer_.get(), INFINITE) == WAIT_OBJECT_0) {
      return;
    }
  }
  Sleep(static_cast<DWORD>((duration.count() + 999) / 1000));
}

}  // namespace vantle_audio
