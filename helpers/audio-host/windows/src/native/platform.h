// What Windows gives the run sequence: the process snapshot, identities
// read through process handles, the window listing, the process-loopback
// backend and the console stop handler. Main thread only.
#pragma once

#include "run.h"

namespace audio_host::win {

class WindowsPlatform final : public HostPlatform {
 public:
  PathRules path_rules() const override { return PathRules::windows; }
  std::uint32_t own_pid() const override;
  vantle::Result<ProcessTable> build_process_table() override;
  vantle::Result<ProcessIdentity> read_process_identity(std::uint32_t pid) override;
  vantle::Status list_applications() override;
  vantle::Result<std::unique_ptr<CaptureBackend>> open_capture_backend() override;
  vantle::Status install_stop_sources() override;
};

}  // namespace audio_host::win
