// What Linux gives the run sequence, whatever the sound server: the
// process table and identities from /proc and pidfds, the listing (the
// backend's playing processes and the X11 window owners), the stop signals,
// and the choice of the capture backend, made here and nowhere else. Main
// thread only.
#pragma once

#include "run.h"
#include "shared/owners.h"

namespace audio_host::linux_host {

class LinuxPlatform final : public HostPlatform {
 public:
  // `output_missing`: standard output was closed when the host started (it
  // is /dev/null now); a listing written there reaches nobody.
  explicit LinuxPlatform(bool output_missing) : output_missing_(output_missing) {}

  PathRules path_rules() const override { return PathRules::posix; }
  std::uint32_t own_pid() const override;
  vantle::Result<ProcessTable> build_process_table() override;
  vantle::Result<ProcessIdentity> read_process_identity(std::uint32_t pid) override;
  vantle::Status list_applications() override;
  vantle::Result<std::unique_ptr<CaptureBackend>> open_capture_backend() override;
  // The signalfd of the stop signals (blocked since the start of main).
  vantle::Status install_stop_sources() override;

 private:
  bool output_missing_;
  UniqueFd stop_signals_;
};

}  // namespace audio_host::linux_host
