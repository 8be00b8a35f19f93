#include "platform.h"

#include <unistd.h>

#include <cerrno>

#include <utility>

#include "backend_choice.h"
#include "pipewire/node_link_capture.h"
#include "pipewire/playback_listing.h"
#include "pulse/pulse_backend.h"
#include "pulse/sound_server.h"
#include "shared/applications.h"
#include "shared/processes.h"
#include "shared/signals.h"
#include "std_streams.h"

namespace audio_host::linux_host {
namespace {

constexpr std::uint64_t kListingConnectTimeoutUsec = 5'000'000;

// The processes that play through the server, asked through `backend`;
// none when there is no server to ask (the listing then has the window
// owners alone).
PlayingProcesses playing_processes(AudioBackend backend) {
  if (backend == AudioBackend::pipewire) {
    auto listed = pipewire_host::list_playback_processes();
    return listed ? std::move(listed).value() : PlayingProcesses();
  }
  auto connection = SoundServerConnection::connect(kListingConnectTimeoutUsec);
  if (!connection) {
    return {};
  }
  auto listed = list_playback_processes(*connection.value());
  return listed ? std::move(listed).value() : PlayingProcesses();
}

}  // namespace

std::uint32_t LinuxPlatform::own_pid() const {
  return static_cast<std::uint32_t>(::getpid());
}

vantle::Result<ProcessTable> LinuxPlatform::build_process_table() {
  return linux_host::build_process_table();
}

vantle::Result<ProcessIdentity> LinuxPlatform::read_process_identity(std::uint32_t pid) {
  return linux_host::read_process_identity(pid);
}

vantle::Status LinuxPlatform::list_applications() {
  if (output_missing_) {
    // What writing to the closed descriptor would have said.
    return vantle::make_error(vantle::os_error_text(EBADF));
  }
  auto backend = choose_audio_backend();
  if (!backend) {
    return std::move(backend).take_error();
  }
  return write_application_list(collect_applications(playing_processes(backend.value())));
}

vantle::Result<std::unique_ptr<CaptureBackend>> LinuxPlatform::open_capture_backend() {
  auto backend = choose_audio_backend();
  if (!backend) {
    return std::move(backend).take_error();
  }
  if (backend.value() == AudioBackend::pipewire) {
    return std::unique_ptr<CaptureBackend>(
        std::make_unique<pipewire_host::NodeLinkCapture>(stop_signals_));
  }
  return std::unique_ptr<CaptureBackend>(std::make_unique<PulseBackend>(stop_signals_));
}

vantle::Status LinuxPlatform::install_stop_sources() {
  auto opened = open_stop_signal_fd();
  if (!opened) {
    return std::move(opened).take_error();
  }
  stop_signals_ = std::move(opened).value();
  return vantle::Status::success();
}

}  // namespace audio_host::linux_host
