#include "run.h"

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <variant>

#include "capture.h"
#include "events.h"
#include "native/audio_thread.h"
#include "native/capture_stream.h"
#include "native/console_stop.h"
#include "native/loopback_activation.h"
#include "native/processes.h"
#include "native/system_error.h"

namespace audio_host {
namespace {

using vantle::make_error;
using vantle::Status;

// One capture run. Everything it acquires is a local, declared in the order
// of acquisition, so that a failing step releases what exists in reverse:
// the pipeline (with output_failed), the capture event, the capture client, the
// audio client, COM, the selected identity, the translator's identity, the
// table. After the packet loop only the start of the order differs (the
// audio client is stopped and released first); see the end.
Status run_capture(const HostRequest& request) {
  const auto* process_request = std::get_if<CaptureProcess>(&request);
  const std::uint32_t excluded_pid = process_request != nullptr
                                         ? process_request->excluded_pid
                                         : std::get<CaptureSystem>(request).excluded_pid;

  auto table = win::build_process_table();
  if (!table) {
    return std::move(table).take_error();
  }
  if (Status rules =
          check_ancestry_rules(request, excluded_pid, GetCurrentProcessId(), table.value());
      !rules) {
    return rules;
  }

  auto translator = win::read_process_identity(excluded_pid);
  if (!translator) {
    return std::move(translator).take_error();
  }
  std::optional<win::ProcessIdentity> selected;
  if (process_request != nullptr) {
    auto identity = win::read_process_identity(process_request->target_pid);
    if (!identity) {
      return std::move(identity).take_error();
    }
    selected.emplace(std::move(identity).value());
    if (Status same = win::verify_selected_identity(*selected, process_request->expected_exe,
                                                    process_request->expected_start);
        !same) {
      return same;
    }
  }

  auto com = win::initialize_com_mta();
  if (!com) {
    return std::move(com).take_error();
  }

  auto client = process_request != nullptr
                    ? win::activate_process_loopback(process_request->target_pid,
                                                     win::LoopbackMode::include_tree)
                    : win::activate_process_loopback(excluded_pid, win::LoopbackMode::exclude_tree);
  if (!client) {
    return std::move(client).take_error();
  }
  auto stream = win::open_capture_stream(std::move(client).value());
  if (!stream) {
    return std::move(stream).take_error();
  }

  auto pipeline = vantle_audio::CapturePipeline::start({kCaptureChannels, kCaptureSampleRate});
  if (!pipeline) {
    return std::move(pipeline).take_error();
  }

  if (Status handler = win::install_console_stop_handler(); !handler) {
    return handler;
  }
  if (!translator.value().still_running() || (selected && !selected->still_running())) {
    return make_error("selected or parent process exited before capture");
  }
  if (Status announced = write_event_line(format_event("wasapi-process-loopback")); !announced) {
    return announced;  // standard error is gone: nothing more is written
  }
  // The packet loop's thread gets the scheduler's attention from here on; a
  // refusal leaves it at normal priority and is not reported.
  win::ThreadTaskRegistration audio_thread = win::register_thread_for_task(win::kAudioTask);
  if (Status started = win::start_capture_stream(stream.value()); !started) {
    return started;
  }

  const Status captured = win::run_packet_loop(win::PacketLoopInputs{
      win::console_stop_requested(), pipeline.value().output_failed(), translator.value(),
      selected ? &*selected : nullptr, stream.value(), pipeline.value().producer()});

  // The normal take-down differs from the reverse of acquisition only at its
  // start: the audio client is stopped and released first (then the
  // scheduler registration that came just before Start), then the pipeline
  // is stopped (a worker blocked in a write to a stalled reader is not
  // waited for). The rest goes by scope: the pipeline, the capture event and
  // client, COM, the identities (the selected one first) and the table.
  win::stop_capture_stream(stream.value());
  audio_thread.reset();
  const Status output = pipeline.value().stop();
  // A failed PCM write ended the loop normally; unless it was the reader
  // going away, its error is the run's result.
  return captured.ok() ? output : captured;
}

}  // namespace

Status run_request(const HostRequest& request) {
  if (std::holds_alternative<ListApplications>(request)) {
    return win::list_applications();
  }
  return run_capture(request);
}

}  // namespace audio_host
