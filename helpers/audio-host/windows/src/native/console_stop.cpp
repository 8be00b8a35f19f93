#include "native/console_stop.h"

#include "native/system_error.h"

namespace audio_host::win {

std::atomic<bool>& console_stop_requested() {
  static std::atomic<bool> requested{false};
  return requested;
}

BOOL handle_console_signal(DWORD control_type, DWORD close_wait_ms) {
  console_stop_requested().store(true);
  switch (control_type) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // Returning would end the process now, in the middle of the capture.
      // The main thread sees the request, takes everything down and exits;
      // that ends this thread too, normally well before the wait is over.
      Sleep(close_wait_ms);
      break;
    default:  // Ctrl+C, Ctrl+Break: the process goes on until the loop sees the request
      break;
  }
  return TRUE;
}

BOOL WINAPI console_stop_handler(DWORD control_type) {
  return handle_console_signal(control_type, kConsoleCloseWaitMs);
}

vantle::Status install_console_stop_handler() {
  if (!SetConsoleCtrlHandler(console_stop_handler, TRUE)) {
    return vantle::make_error(
        context_message("console stop handler", SystemError::from_last_error()));
  }
  return vantle::Status::success();
}

}  // namespace audio_host::win
