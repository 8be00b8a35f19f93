#include "worker_thread.h"

namespace vantle_audio::detail {

void run_thread_body(void* context) {
  std::unique_ptr<ThreadBody> body(static_cast<ThreadBody*>(context));
  try {
    body->run();
  } catch (...) {
    // Nothing may cross the thread's edge; the owner sees an ended thread.
  }
}

}  // namespace vantle_audio::detail
