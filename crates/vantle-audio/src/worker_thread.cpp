#include "worker_thread.h"

#include <utility>

#include "std_streams.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#else
#include <cerrno>
#include <thread>
#endif

namespace vantle_audio {
namespace {

void run_body(void* context) {
  std::unique_ptr<ThreadBody> body(static_cast<ThreadBody*>(context));
  try {
    body->run();
  } catch (...) {
    // Nothing may cross the thread's edge; the owner sees an ended thread.
  }
}

#ifdef _WIN32

DWORD WINAPI thread_entry(LPVOID context) {
  run_body(context);
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

#else

void* thread_entry(void* context) {
  run_body(context);
  return nullptr;
}

void set_thread_name([[maybe_unused]] pthread_t thread, [[maybe_unused]] const char* name) {
#if defined(__linux__)
  (void)pthread_setname_np(thread, name);
#endif
}

#endif

}  // namespace

#ifdef _WIN32

WorkerThread::WorkerThread(WorkerThread&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)) {}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
  if (this != &other) {
    join();
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Result<WorkerThread> WorkerThread::start(const char* name, std::unique_ptr<ThreadBody> body,
                                         std::size_t stack_size) {
  const DWORD flags = stack_size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0;
  HANDLE handle = CreateThread(nullptr, stack_size, thread_entry, body.get(), flags, nullptr);
  if (handle == nullptr) {
    return make_error(os_error_text(static_cast<std::int32_t>(GetLastError())));
  }
  (void)body.release();  // the thread owns it now
  set_thread_name(handle, name);
  WorkerThread thread;
  thread.handle_ = handle;
  return thread;
}

bool WorkerThread::joinable() const {
  return handle_ != nullptr;
}

void WorkerThread::join() {
  if (handle_ != nullptr) {
    (void)WaitForSingleObject(handle_, INFINITE);
    (void)CloseHandle(std::exchange(handle_, nullptr));
  }
}

#else

WorkerThread::WorkerThread(WorkerThread&& other) noexcept
    : thread_(other.thread_), joinable_(std::exchange(other.joinable_, false)) {}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
  if (this != &other) {
    join();
    thread_ = other.thread_;
    joinable_ = std::exchange(other.joinable_, false);
  }
  return *this;
}

Result<WorkerThread> WorkerThread::start(const char* name, std::unique_ptr<ThreadBody> body,
                                         std::size_t stack_size) {
  pthread_attr_t attributes;
  int code = pthread_attr_init(&attributes);
  if (code != 0) {
    return make_error(os_error_text(code));
  }
  if (stack_size != 0) {
    code = pthread_attr_setstacksize(&attributes, stack_size);
  }
  pthread_t thread{};
  if (code == 0) {
    code = pthread_create(&thread, &attributes, thread_entry, body.get());
  }
  (void)pthread_attr_destroy(&attributes);
  if (code != 0) {
    return make_error(os_error_text(code));
  }
  (void)body.release();  // the thread owns it now
  set_thread_name(thread, name);
  WorkerThread result;
  result.thread_ = thread;
  result.joinable_ = true;
  return result;
}

bool WorkerThread::joinable() const {
  return joinable_;
}

void WorkerThread::join() {
  if (joinable_) {
    joinable_ = false;
    (void)pthread_join(thread_, nullptr);
  }
}

#endif

#ifdef _WIN32

// Not in older SDK headers (mingw-w64 10 among them).
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

PollSleeper::PollSleeper()
    : timer_(CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                    TIMER_ALL_ACCESS)) {}

PollSleeper::~PollSleeper() {
  if (timer_ != nullptr) {
    CloseHandle(timer_);
  }
}

void PollSleeper::sleep(std::chrono::microseconds duration) {
  if (timer_ != nullptr) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(duration.count()) * 10;  // relative, 100 ns units
    if (SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer_, INFINITE) == WAIT_OBJECT_0) {
      return;
    }
  }
  Sleep(static_cast<DWORD>((duration.count() + 999) / 1000));
}

#else

PollSleeper::PollSleeper() = default;
PollSleeper::~PollSleeper() = default;

void PollSleeper::sleep(std::chrono::microseconds duration) {
  std::this_thread::sleep_for(duration);
}

#endif

}  // namespace vantle_audio
