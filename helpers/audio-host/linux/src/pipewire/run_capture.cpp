#include "pipewire/run_capture.h"

#include <atomic>
#include <memory>
#include <optional>

#include "capture.h"
#include "events.h"
#include "pipewire/node_link_capture.h"
#include "stream_format.h"

namespace audio_host::pipewire_host {

vantle::Status run_node_link_capture(const CaptureSelection& selection, ProcessTable& table,
                                     const linux_host::ProcessIdentity& translator,
                                     const linux_host::ProcessIdentity* selected) {
  NodeLinkCapture backend(&table);
  if (vantle::Status set_up = backend.set_up(selection); !set_up) {
    return set_up;
  }
  auto output_failed = std::make_shared<std::atomic<bool>>(false);
  std::optional<vantle_audio::CapturePipeline> pipeline;
  {
    auto worker =
        vantle_audio::start_capture_worker(kCaptureChannels, kCaptureSampleRate, output_failed);
    if (!worker) {
      return std::move(worker).take_error();
    }
    pipeline.emplace(std::move(worker).value());
  }
  // The backend (links, stream, connection) goes before the producer it
  // feeds. A failed PCM write ended the capture normally; unless it was the
  // reader going away, its error is the run's result.
  const auto finish = [&](vantle::Status result) {
    backend.stop();
    vantle::Status output = pipeline->stop();
    return result.ok() ? output : result;
  };
  if (vantle::Status sources = backend.install_stop_sources(); !sources) {
    return finish(sources);
  }
  if (!translator.running() || (selected != nullptr && !selected->running())) {
    return finish(vantle::make_error("selected or parent process exited before capture"));
  }
  if (vantle::Status announced = write_event_line(format_event(backend.name())); !announced) {
    return finish(announced);  // standard error is gone: nothing more is written
  }
  NodeLinkLoop loop;
  loop.producer = &pipeline->producer();
  loop.output_failed = output_failed.get();
  loop.translator_pidfd = translator.pidfd();
  loop.target_pidfd = selected != nullptr ? selected->pidfd() : -1;
  if (vantle::Status started = backend.start(loop); !started) {
    return finish(started);
  }
  return finish(backend.run());
}

}  // namespace audio_host::pipewire_host
