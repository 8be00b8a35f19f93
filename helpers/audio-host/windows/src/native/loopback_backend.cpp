#include "native/loopback_backend.h"

#include <utility>

#include "native/audio_thread.h"
#include "native/console_stop.h"
#include "native/loopback_activation.h"

namespace audio_host::win {

vantle::Status LoopbackBackend::set_up(const CaptureSelection& selection) {
  auto com = initialize_com_mta();
  if (!com) {
    return std::move(com).take_error();
  }
  com_ = std::move(com).value();
  auto client = activate_process_loopback(selection.root,
                                          selection.mode == CaptureSelection::Mode::include_tree
                                              ? LoopbackMode::include_tree
                                              : LoopbackMode::exclude_tree);
  if (!client) {
    return std::move(client).take_error();
  }
  auto stream = open_capture_stream(std::move(client).value());
  if (!stream) {
    return std::move(stream).take_error();
  }
  stream_.emplace(std::move(stream).value());
  return vantle::Status::success();
}

vantle::Status LoopbackBackend::start() {
  // The packet loop's thread gets the scheduler's attention from here on; a
  // refusal leaves it at normal priority and is not reported.
  audio_thread_ = register_thread_for_task(kAudioTask);
  vantle::Status started = start_capture_stream(*stream_);
  if (!started) {
    audio_thread_.reset();
  }
  return started;
}

vantle::Status LoopbackBackend::run(const CaptureLoopInputs& inputs) {
  return run_packet_loop(PacketLoopInputs{console_stop_requested(), inputs.output_failed,
                                          inputs.translator, inputs.selected, *stream_,
                                          inputs.producer});
}

void LoopbackBackend::stop() {
  stop_capture_stream(*stream_);
  audio_thread_.reset();
}

}  // namespace audio_host::win
