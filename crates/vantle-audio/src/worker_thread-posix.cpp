// The worker thread on POSIX systems: pthreads.
#include <utility>

#include "std_streams.h"
#include "worker_thread.h"

namespace vantle_audio {
namespace {

void* thread_entry(void* context) {
  detail::run_thread_body(context);
  return nullptr;
}

void set_thread_name([[maybe_unused]] pthread_t thread, [[maybe_unused]] const char* name) {
#if defined(__linux__)
  (void)pthread_setname_np(thread, name);
#endif
}

}  // namespace

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

vantle::Result<WorkerThread> WorkerThread::start(const char* name, std::unique_ptr<ThreadBody> body,
                                                 std::size_t stack_size) {
  pthread_attr_t attributes;
  int code = pthread_attr_init(&attributes);
  if (code != 0) {
    return vantle::make_error(vantle::os_error_text(code));
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
    return vantle::make_error(vantle::os_error_text(code));
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

bool WorkerThread::join_cancelling_io(std::chrono::milliseconds) {
  join();
  return true;
}

}  // namespace vantle_audio
