#include "run.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <optional>
#include <variant>

#include "backend_choice.h"  // pipewire hook
#include "capture.h"
#include "events.h"
#include "mixer.h"
#include "native/applications.h"
#include "native/processes.h"
#include "native/signals.h"
#include "native/sound_server.h"
#include "native/stream_capture.h"
#include "pipewire/run_capture.h"  // pipewire hook

namespace audio_host {
namespace {

using linux_host::ProcessIdentity;
using vantle::make_error;
using vantle::Status;

constexpr std::uint64_t kConnectTimeoutUsec = 10'000'000;

// One capture run. What it acquires is declared in the order of
// acquisition, so that a failing check releases what exists in reverse.
// From the pipeline on, every end goes through `finish`, which releases the
// capture's streams and loop events, then the context and the main loop,
// and only then the producer and the worker.
Status run_capture(const HostRequest& request, AudioBackend backend) {  // pipewire hook: backend
  const auto* process_request = std::get_if<CaptureProcess>(&request);
  const std::uint32_t excluded_pid = process_request != nullptr
                                         ? process_request->excluded_pid
                                         : std::get<CaptureSystem>(request).excluded_pid;

  auto table = linux_host::build_process_table();
  if (!table) {
    return std::move(table).take_error();
  }
  if (Status rules = check_ancestry_rules(request, excluded_pid,
                                          static_cast<std::uint32_t>(::getpid()), table.value());
      !rules) {
    return rules;
  }

  auto translator = linux_host::read_process_identity(excluded_pid);
  if (!translator) {
    return std::move(translator).take_error();
  }
  std::optional<ProcessIdentity> selected;
  if (process_request != nullptr) {
    auto identity = linux_host::read_process_identity(process_request->target_pid);
    if (!identity) {
      return std::move(identity).take_error();
    }
    selected.emplace(std::move(identity).value());
    if (Status same = linux_host::verify_selected_identity(*selected, process_request->expected_exe,
                                                           process_request->expected_start);
        !same) {
      return same;
    }
  }

  // Before any other thread exists, so that every thread inherits the mask
  // and a stop signal waits for the signalfd.
  if (Status blocked = linux_host::block_stop_signals(); !blocked) {
    return blocked;
  }
  // pipewire hook: the native PipeWire backend runs the rest of the capture.
  if (backend == AudioBackend::pipewire) {
    const CaptureSelection selection =
        process_request != nullptr
            ? CaptureSelection{CaptureSelection::Mode::include_tree, process_request->target_pid}
            : CaptureSelection{CaptureSelection::Mode::exclude_tree, excluded_pid};
    return pipewire_host::run_node_link_capture(selection, table.value(), translator.value(),
                                                selected ? &*selected : nullptr);
  }
  auto connected = linux_host::SoundServerConnection::connect(kConnectTimeoutUsec);
  if (!connected) {
    return std::move(connected).take_error();
  }
  std::unique_ptr<linux_host::SoundServerConnection> connection = std::move(connected).value();

  auto output_failed = std::make_shared<std::atomic<bool>>(false);
  std::optional<vantle_audio::CapturePipeline> pipeline;
  {
    auto worker = vantle_audio::start_capture_worker(kMixChannels, kMixSampleRate, output_failed);
    if (!worker) {
      return std::move(worker).take_error();
    }
    pipeline.emplace(std::move(worker).value());
  }
  std::optional<linux_host::StreamCapture> capture;
  // Not the reverse of acquisition: the streams and the context go before
  // the producer they feed. A failed PCM write ended the capture normally;
  // unless it was the reader going away, its error is the run's result.
  const auto finish = [&](Status result) {
    capture.reset();
    connection.reset();
    Status output = pipeline->stop();
    return result.ok() ? output : result;
  };

  auto signals = linux_host::open_stop_signal_fd();
  if (!signals) {
    return finish(std::move(signals).take_error());
  }
  if (!translator.value().running() || (selected && !selected->running())) {
    return finish(make_error("selected or parent process exited before capture"));
  }
  if (Status announced = write_event_line(format_event("pulseaudio-stream-monitor")); !announced) {
    return finish(announced);  // standard error is gone: nothing more is written
  }

  linux_host::StreamCaptureInputs inputs;
  inputs.connection = connection.get();
  inputs.selection =
      process_request != nullptr
          ? CaptureSelection{CaptureSelection::Mode::include_tree, process_request->target_pid}
          : CaptureSelection{CaptureSelection::Mode::exclude_tree, excluded_pid};
  inputs.table = &table.value();
  inputs.producer = &pipeline->producer();
  inputs.output_failed = output_failed.get();
  inputs.stop_signal_fd = signals.value().get();
  inputs.translator_pidfd = translator.value().pidfd();
  inputs.target_pidfd = selected ? selected->pidfd() : -1;
  capture.emplace(inputs);
  return finish(capture->run());
}

}  // namespace

Status run_request(const HostRequest& request) {
  // pipewire hook: the backend choice (VANTLE_AUDIO_BACKEND, the PipeWire socket).
  const auto backend = choose_audio_backend();
  if (!backend) {
    return make_error(backend.error());
  }
  if (std::holds_alternative<ListApplications>(request)) {
    return linux_host::list_applications();
  }
  return run_capture(request, backend.value());
}

}  // namespace audio_host
