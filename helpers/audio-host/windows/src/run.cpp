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

using vantle_audio::make_error;
using vantle_audio::Status;

// The packet loop's view of the capture pipeline's producer.
class ProducerConsumer final : public win::SampleConsumer {
 public:
  explicit ProducerConsumer(vantle_audio::CaptureProducer& producer) : producer_(producer) {}
  void push_samples(const float* samples, std::uint64_t sample_count) override {
    producer_.push_samples(samples, sample_count);
  }
  void mark_discontinuity() override { producer_.mark_discontinuity(); }

 private:
  vantle_audio::CaptureProducer& producer_;
};

// The running capture pipeline: the producer the packet loop feeds and the
// worker thread behind it.
class Pipeline {
 public:
  explicit Pipeline(vantle_audio::CaptureWorker worker)
      : producer_(std::move(worker.producer)), handle_(std::move(worker.handle)) {}
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // A set-up step failed: join the worker, then release the producer.
  ~Pipeline() {
    if (handle_) {
      (void)vantle_audio::stop_capture_worker(std::move(*handle_));
    }
  }

  vantle_audio::CaptureProducer& producer() { return *producer_; }

  // After the capture: release the producer, then clear `running` and join.
  // The error that ended the PCM output, if one did.
  Status stop_after_capture() {
    producer_.reset();
    Status output = vantle_audio::stop_capture_worker(std::move(*handle_));
    handle_.reset();
    return output;
  }

 private:
  std::optional<vantle_audio::CaptureProducer> producer_;
  std::optional<vantle_audio::CaptureWorkerHandle> handle_;
};

// One capture run. Everything it acquires is a local, declared in the order
// of acquisition, so that a failing step releases what exists in reverse:
// the pipeline, output_failed, the capture event, the capture client, the
// audio client, COM, the selected identity, the translator's identity, the
// table. After the packet loop the order differs (the audio client is
// stopped and released first) and is spelled out at the end.
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

  win::CaptureStream stream;
  {
    auto client = process_request != nullptr
                      ? win::activate_process_loopback(process_request->target_pid, true)
                      : win::activate_process_loopback(excluded_pid, false);
    if (!client) {
      return std::move(client).take_error();
    }
    stream.audio_client = std::move(client).value();
  }
  if (Status opened = win::open_capture_stream(stream); !opened) {
    return opened;
  }

  auto output_failed = std::make_shared<std::atomic<bool>>(false);
  std::optional<Pipeline> pipeline;
  {
    auto worker =
        vantle_audio::start_capture_worker(kCaptureChannels, kCaptureSampleRate, output_failed);
    if (!worker) {
      return std::move(worker).take_error();
    }
    pipeline.emplace(std::move(worker).value());
  }

  if (Status handler = win::install_console_stop_handler(); !handler) {
    return handler;
  }
  if (!win::still_running(translator.value().handle()) ||
      (selected && !win::still_running(selected->handle()))) {
    return make_error("selected or parent process exited before capture");
  }
  if (Status announced = write_event_line(format_event("wasapi-process-loopback")); !announced) {
    return announced;  // standard error is gone: nothing more is written
  }
  // The packet loop's thread gets the scheduler's attention from here on; a
  // refusal leaves it at normal priority and is not reported.
  win::ThreadTaskRegistration audio_thread = win::register_thread_for_task(win::kAudioTask);
  if (Status started = win::start_capture_stream(stream); !started) {
    return started;
  }

  std::array<float, win::kZeroBlockSamples> zero_block{};
  ProducerConsumer consumer(pipeline->producer());
  const Status captured = win::run_packet_loop(win::PacketLoopInputs{
      win::console_stop_requested(), *output_failed, translator.value().handle(),
      selected ? selected->handle() : nullptr, stream, consumer, zero_block.data()});

  // The normal take-down. A failed PCM write ended the loop normally; unless
  // it was the reader going away, its error is the run's result.
  win::stop_capture_stream(stream);
  audio_thread.reset();
  const Status output = pipeline->stop_after_capture();
  pipeline.reset();
  output_failed.reset();
  win::close_capture_stream(stream);
  com.value().reset();
  selected.reset();
  translator.value().reset();
  table.value().clear();
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
