#include "run.h"

#include <optional>
#include <utility>
#include <variant>

#include "events.h"
#include "stream_format.h"

namespace audio_host {
namespace {

using vantle::make_error;
using vantle::Status;

// One capture run. What it acquires is declared in the order of
// acquisition, so that a failed step releases, by scope, what exists in
// reverse: the pipeline (its worker joined, then its producer), the
// backend's set-up, the selected identity, the translator's, the table.
// After the capture the take-down starts differently: the backend stops
// feeding the producer first, then the pipeline stops, then the rest goes
// by scope.
Status run_capture(const HostRequest& request, HostPlatform& platform) {
  const CaptureSelection selection = capture_selection(request);
  const auto* process_request = std::get_if<CaptureProcess>(&request);
  const std::uint32_t excluded_pid = process_request != nullptr
                                         ? process_request->excluded_pid
                                         : std::get<CaptureSystem>(request).excluded_pid;

  auto table = platform.build_process_table();
  if (!table) {
    return std::move(table).take_error();
  }
  if (Status rules = check_ancestry_rules(request, excluded_pid, platform.own_pid(), table.value());
      !rules) {
    return rules;
  }
  auto translator = platform.read_process_identity(excluded_pid);
  if (!translator) {
    return std::move(translator).take_error();
  }
  std::optional<ProcessIdentity> selected;
  if (process_request != nullptr) {
    auto identity = platform.read_process_identity(process_request->target_pid);
    if (!identity) {
      return std::move(identity).take_error();
    }
    selected.emplace(std::move(identity).value());
    if (Status same =
            verify_selected_identity(*selected, process_request->expected_exe,
                                     process_request->expected_start, platform.path_rules());
        !same) {
      return same;
    }
  }

  auto opened = platform.open_capture_backend();
  if (!opened) {
    return std::move(opened).take_error();
  }
  const std::unique_ptr<CaptureBackend> backend = std::move(opened).value();
  if (Status set_up = backend->set_up(selection); !set_up) {
    return set_up;
  }
  auto started = vantle_audio::CapturePipeline::start(kCaptureFormat);
  if (!started) {
    return std::move(started).take_error();
  }
  vantle_audio::CapturePipeline pipeline = std::move(started).value();
  if (Status stop_sources = platform.install_stop_sources(); !stop_sources) {
    return stop_sources;
  }
  if (!translator.value().running() || (selected && !selected->running())) {
    return make_error("selected or parent process exited before capture");
  }
  if (Status announced = write_event_line(format_event(backend->name())); !announced) {
    return announced;  // standard error is gone: nothing more is written
  }
  if (Status capturing = backend->start(); !capturing) {
    return capturing;
  }

  const Status captured =
      backend->run(CaptureLoopInputs{pipeline.producer(), pipeline.output_failed(),
                                     translator.value(), selected ? &*selected : nullptr});
  backend->stop();
  const Status output = pipeline.stop();
  // A failed PCM write ended the capture normally; unless it was the
  // reader going away, its error is the run's result.
  return captured.ok() ? output : captured;
}

}  // namespace

Status run_request(const HostRequest& request, HostPlatform& platform) {
  if (std::holds_alternative<ListApplications>(request)) {
    return platform.list_applications();
  }
  return run_capture(request, platform);
}

int run_host(const vantle::Result<std::vector<std::string>>& arguments, HostPlatform& platform) {
  Status status = [&]() -> Status {
    if (!arguments) {
      return make_error(arguments.error());
    }
    auto request = parse_command_line(arguments.value());
    if (!request) {
      return std::move(request).take_error();
    }
    return run_request(request.value(), platform);
  }();
  if (status.ok()) {
    return 0;
  }
  (void)write_event_line(error_event(status.error()));
  return 1;
}

}  // namespace audio_host
