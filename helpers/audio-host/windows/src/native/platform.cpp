#include "native/platform.h"

#include "native/console_stop.h"
#include "native/loopback_backend.h"
#include "native/processes.h"

namespace audio_host::win {

std::uint32_t WindowsPlatform::own_pid() const {
  return GetCurrentProcessId();
}

vantle::Result<ProcessTable> WindowsPlatform::build_process_table() {
  return win::build_process_table();
}

vantle::Result<ProcessIdentity> WindowsPlatform::read_process_identity(std::uint32_t pid) {
  return win::read_process_identity(pid);
}

vantle::Status WindowsPlatform::list_applications() {
  return win::list_applications();
}

vantle::Result<std::unique_ptr<CaptureBackend>> WindowsPlatform::open_capture_backend() {
  return std::unique_ptr<CaptureBackend>(std::make_unique<LoopbackBackend>());
}

vantle::Status WindowsPlatform::install_stop_sources() {
  return install_console_stop_handler();
}

}  // namespace audio_host::win
