#include "native/stream_capture.h"

#include <time.h>

#include <algorithm>
#include <cstring>

#include "native/processes.h"
#include "native/signals.h"

namespace audio_host::linux_host {
namespace {

using vantle::make_error;
using vantle::Status;

constexpr std::uint64_t kNsPerMs = 1'000'000;
// A monitor that is still connecting after this long, while its stream is
// not corked, is opened anew (monitors of a stream that has not played can
// stay in CREATING).
constexpr std::uint64_t kCreatingTimeoutNs = 3000 * kNsPerMs;
// Re-opening a monitor that fails again and again without delivering: at
// once the first time, then after 50 ms, doubling up to a second.
constexpr std::uint64_t kFirstBackoffNs = 50 * kNsPerMs;
constexpr std::uint64_t kMaxBackoffNs = 1000 * kNsPerMs;
// About 10 ms of float stereo per fragment.
constexpr std::uint32_t kFragmentBytes = 480 * kMixChannels * sizeof(float);

std::uint64_t monotonic_now_ns() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::optional<std::uint32_t> property_pid(const pa_proplist* properties) {
  return parse_process_id_property(pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID));
}

}  // namespace

void disconnect_stream(pa_stream* stream) {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_CREATING || state == PA_STREAM_READY) {
    (void)pa_stream_disconnect(stream);
  }
  pa_stream_unref(stream);
}

StreamCapture::StreamCapture(const StreamCaptureInputs& inputs) : in_(inputs), mixer_(limits_) {}

StreamCapture::~StreamCapture() {
  // Monitor streams first (each leaves the mix before its buffer goes), then
  // the loop events.
  for (auto& [index, entry] : sink_inputs_) {
    if (entry.monitor) {
      mixer_.remove(&entry.monitor->buffer);
      entry.monitor.reset();
    }
  }
  sink_inputs_.clear();
  for (const auto& monitor : ending_) {
    mixer_.remove(&monitor->buffer);
  }
  ending_.clear();
  in_.connection->on_connection_lost(nullptr, nullptr);
  timer_.reset();
  io_events_.clear();
}

void StreamCapture::stop(Status result) {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  result_ = std::move(result);
  pa_mainloop_quit(in_.connection->mainloop(), 0);
}

void StreamCapture::watch(int fd, void (*callback)(StreamCapture*)) {
  if (fd < 0) {
    return;
  }
  watched_.push_back(std::make_unique<Watched>(Watched{this, fd, callback}));
  pa_mainloop_api* api = in_.connection->api();
  io_events_.emplace_back(UniqueIoEvent::Value{
      api,
      api->io_new(api, fd, PA_IO_EVENT_INPUT, &StreamCapture::fd_ready, watched_.back().get())});
}

void StreamCapture::fd_ready(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t,
                             void* userdata) {
  const auto* watched = static_cast<Watched*>(userdata);
  watched->callback(watched->owner);
}

void StreamCapture::connection_lost(void* userdata) {
  auto* self = static_cast<StreamCapture*>(userdata);
  self->stop(make_error(
      pulse_message("sound server connection", pa_context_errno(self->in_.connection->context()))));
}

Status StreamCapture::run() {
  pa_context* context = in_.connection->context();
  in_.connection->on_connection_lost(&StreamCapture::connection_lost, this);

  watch(in_.stop_signal_fd, [](StreamCapture* self) {
    if (read_stop_signal(self->in_.stop_signal_fd)) {
      self->stop(Status::success());
    }
  });
  watch(in_.translator_pidfd, [](StreamCapture* self) { self->stop(Status::success()); });
  watch(in_.target_pidfd,
        [](StreamCapture* self) { self->stop(make_error("selected process exited")); });

  // Which server it is (see Monitor): answered before the listing below,
  // so before any monitor is opened.
  const UniqueOperation asked(
      pa_context_get_server_info(context, &StreamCapture::server_info, this));
  if (!asked) {
    return make_error(pulse_message("sound server information", pa_context_errno(context)));
  }
  pa_context_set_subscribe_callback(context, &StreamCapture::subscription_event, this);
  const UniqueOperation subscribed(pa_context_subscribe(
      context,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                          PA_SUBSCRIPTION_MASK_CLIENT),
      [](pa_context* c, int success, void* userdata) {
        if (success == 0) {
          static_cast<StreamCapture*>(userdata)->stop(
              make_error(pulse_message("subscribe to sound server events", pa_context_errno(c))));
        }
      },
      this));
  if (!subscribed) {
    return make_error(pulse_message("subscribe to sound server events", pa_context_errno(context)));
  }
  const UniqueOperation listed(
      pa_context_get_sink_input_info_list(context, &StreamCapture::sink_input_info, this));
  if (!listed) {
    return make_error(pulse_message("list playback streams", pa_context_errno(context)));
  }

  mixer_.start(monotonic_now_ns());
  timer_.reset({in_.connection->api(), pa_context_rttime_new(context, pa_rtclock_now() + kTickUsec,
                                                             &StreamCapture::timer_fired, this)});
  if (!timer_) {
    return make_error(pulse_message("mix timer", PA_ERR_INTERNAL));
  }
  while (!stopped_) {
    if (pa_mainloop_iterate(in_.connection->mainloop(), 1, nullptr) < 0 && !stopped_) {
      stop(make_error(pulse_message("sound server connection", PA_ERR_INTERNAL)));
    }
  }
  return result_;
}

void StreamCapture::server_info(pa_context*, const pa_server_info* info, void* userdata) {
  if (info != nullptr && info->server_name != nullptr &&
      std::strstr(info->server_name, "PipeWire") != nullptr) {
    static_cast<StreamCapture*>(userdata)->monitor_connections_ = true;
  }
}

void StreamCapture::subscription_event(pa_context*, pa_subscription_event_type_t type,
                                       std::uint32_t index, void* userdata) {
  auto* self = static_cast<StreamCapture*>(userdata);
  const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      self->remove_sink_input(index);
    } else {
      self->request_sink_input(index);
    }
  } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT && kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    self->client_pids_.erase(index);
  }
}

void StreamCapture::request_sink_input(std::uint32_t index) {
  pa_context* context = in_.connection->context();
  // Only the reference goes; the request is answered by sink_input_info.
  (void)UniqueOperation(
      pa_context_get_sink_input_info(context, index, &StreamCapture::sink_input_info, this));
}

void StreamCapture::sink_input_info(pa_context*, const pa_sink_input_info* info, int eol,
                                    void* userdata) {
  // eol < 0: the stream went before its information was read; its removal
  // event follows.
  if (eol == 0 && info != nullptr) {
    static_cast<StreamCapture*>(userdata)->on_sink_input(*info);
  }
}

void StreamCapture::on_sink_input(const pa_sink_input_info& info) {
  if (stopped_) {
    return;
  }
  SinkInput& entry = sink_inputs_[info.index];
  entry.client = info.client;
  entry.corked = info.corked != 0;
  if (entry.decision == Decision::undecided) {
    if (const auto own = property_pid(info.proplist)) {
      decide(entry, info.index, own);
    } else if (info.client == PA_INVALID_INDEX) {
      decide(entry, info.index, std::nullopt);
    } else if (const auto known = client_pids_.find(info.client); known != client_pids_.end()) {
      decide(entry, info.index, known->second);
    } else {
      entry.decision = Decision::waiting_for_client;
      request_client(info.client);
    }
  }
  if (entry.monitor) {
    entry.monitor->buffer.set_corked(entry.corked);
  }
}

void StreamCapture::request_client(std::uint32_t index) {
  if (client_requests_.contains(index)) {
    return;
  }
  auto& request = client_requests_[index];
  request = {this, index};
  pa_context* context = in_.connection->context();
  const UniqueOperation operation(
      pa_context_get_client_info(context, index, &StreamCapture::client_info, &request));
  if (!operation) {
    client_requests_.erase(index);
    on_client(index, std::nullopt);
  }
}

void StreamCapture::client_info(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  const auto [self, index] = *static_cast<std::pair<StreamCapture*, std::uint32_t>*>(userdata);
  if (eol == 0 && info != nullptr) {
    self->client_pids_[index] = property_pid(info->proplist);
    return;  // the end-of-list call follows
  }
  self->client_requests_.erase(index);
  const auto known = self->client_pids_.find(index);
  self->on_client(index, known != self->client_pids_.end() ? known->second : std::nullopt);
}

void StreamCapture::on_client(std::uint32_t index, std::optional<std::uint32_t> pid) {
  for (auto& [stream, entry] : sink_inputs_) {
    if (stopped_) {
      return;
    }
    if (entry.decision == Decision::waiting_for_client && entry.client == index) {
      decide(entry, stream, pid);
      if (entry.monitor) {
        entry.monitor->buffer.set_corked(entry.corked);
      }
    }
  }
}

void StreamCapture::decide(SinkInput& entry, std::uint32_t index,
                           std::optional<std::uint32_t> pid) {
  if (pid && !in_.table->contains(*pid)) {
    // A process that started after the table was read.
    auto rebuilt = build_process_table();
    if (!rebuilt) {
      stop(std::move(rebuilt).take_error());
      return;
    }
    *in_.table = std::move(rebuilt).value();
  }
  entry.decision = Decision::decided;
  entry.captured = stream_is_captured(in_.selection, pid, *in_.table);
  if (!entry.captured) {
    return;
  }
  entry.monitor = std::make_unique<Monitor>(limits_);
  entry.monitor->owner = this;
  entry.monitor->sink_input = index;
  mixer_.add(&entry.monitor->buffer);
  open_monitor(*entry.monitor);
}

void StreamCapture::remove_sink_input(std::uint32_t index) {
  const auto found = sink_inputs_.find(index);
  if (found == sink_inputs_.end()) {
    return;
  }
  // The stream has gone, but the last few fragments it played are still in
  // its buffer: the monitor loses its stream and connection now and plays
  // them out.
  if (std::unique_ptr<Monitor> monitor = std::move(found->second.monitor)) {
    monitor->stream.reset();
    monitor->context.reset();
    monitor->buffer.end();
    ending_.push_back(std::move(monitor));
  }
  sink_inputs_.erase(found);
}

void StreamCapture::release_drained_monitors() {
  std::erase_if(ending_, [this](const std::unique_ptr<Monitor>& monitor) {
    if (!monitor->buffer.drained()) {
      return false;
    }
    mixer_.remove(&monitor->buffer);
    return true;
  });
}

void StreamCapture::open_monitor(Monitor& monitor) {
  monitor.stream.reset();
  monitor.context.reset();
  monitor.failed = false;
  monitor.had_data = false;
  monitor.opened_ns = monotonic_now_ns();
  if (!monitor_connections_) {
    connect_monitor_stream(monitor);
    return;
  }
  // The stream is created once its connection is ready. A connection that
  // cannot be made fails the monitor, which is opened again (the loss of
  // the server itself ends the capture through the main connection).
  monitor.context.reset(pa_context_new(in_.connection->api(), "audio-host"));
  if (!monitor.context) {
    stop(make_error(pulse_message("monitor stream", PA_ERR_INTERNAL)));
    return;
  }
  pa_context_set_state_callback(monitor.context.get(), &StreamCapture::monitor_context_state,
                                &monitor);
  if (pa_context_connect(monitor.context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    mark_failed(monitor);
  }
}

void StreamCapture::connect_monitor_stream(Monitor& monitor) {
  constexpr const char* kContext = "monitor stream";
  pa_context* context = monitor.context ? monitor.context.get() : in_.connection->context();
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, kMixSampleRate, kMixChannels};
  monitor.stream.reset(pa_stream_new(context, "audio-host monitor", &format, nullptr));
  pa_stream* stream = monitor.stream.get();
  if (stream == nullptr) {
    stop(make_error(pulse_message(kContext, pa_context_errno(context))));
    return;
  }
  if (pa_stream_set_monitor_stream(stream, monitor.sink_input) < 0) {
    stop(make_error(pulse_message(kContext, pa_context_errno(context))));
    return;
  }
  pa_stream_set_state_callback(stream, &StreamCapture::monitor_state, &monitor);
  pa_stream_set_read_callback(stream, &StreamCapture::monitor_read, &monitor);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = kFragmentBytes;
  if (pa_stream_connect_record(stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
    stop(make_error(pulse_message(kContext, pa_context_errno(context))));
  }
}

void StreamCapture::mark_failed(Monitor& monitor) {
  // Re-opened by the next tick: a stream or a connection cannot be
  // released inside its own callback.
  if (!monitor.failed) {
    monitor.failed = true;
    monitor.failed_ns = monotonic_now_ns();
    monitor.failures_in_row = monitor.had_data ? 1 : monitor.failures_in_row + 1;
  }
}

void StreamCapture::monitor_context_state(pa_context* context, void* userdata) {
  auto* monitor = static_cast<Monitor*>(userdata);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    if (!monitor->owner->stopped_) {
      monitor->owner->connect_monitor_stream(*monitor);
    }
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    mark_failed(*monitor);
  }
}

void StreamCapture::monitor_state(pa_stream* stream, void* userdata) {
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    mark_failed(*static_cast<Monitor*>(userdata));
  }
}

void StreamCapture::monitor_read(pa_stream* stream, std::size_t, void* userdata) {
  auto* monitor = static_cast<Monitor*>(userdata);
  constexpr std::size_t kFrameBytes = kMixChannels * sizeof(float);
  while (true) {
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
      return;
    }
    if (data != nullptr) {  // null: a hole in the record stream
      monitor->buffer.write(static_cast<const float*>(data), bytes / kFrameBytes);
      monitor->had_data = true;
    }
    if (pa_stream_drop(stream) < 0) {
      return;
    }
  }
}

void StreamCapture::maintain_monitors(std::uint64_t now_ns) {
  for (auto& [index, entry] : sink_inputs_) {
    Monitor* monitor = entry.monitor.get();
    if (monitor == nullptr || stopped_) {
      continue;
    }
    if (monitor->failed) {
      const unsigned extra = monitor->failures_in_row > 1 ? monitor->failures_in_row - 2 : 0;
      const std::uint64_t delay =
          monitor->failures_in_row <= 1
              ? 0
              : std::min(kMaxBackoffNs, kFirstBackoffNs << std::min(extra, 5u));
      if (now_ns >= monitor->failed_ns + delay) {
        open_monitor(*monitor);
      }
    } else if (!entry.corked && !monitor->had_data &&
               (!monitor->stream ||
                pa_stream_get_state(monitor->stream.get()) == PA_STREAM_CREATING) &&
               now_ns - monitor->opened_ns > kCreatingTimeoutNs) {
      open_monitor(*monitor);
    }
  }
}

void StreamCapture::timer_fired(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                                void* userdata) {
  auto* self = static_cast<StreamCapture*>(userdata);
  self->tick();
  if (!self->stopped_) {
    pa_context_rttime_restart(self->in_.connection->context(), event, pa_rtclock_now() + kTickUsec);
  }
}

void StreamCapture::tick() {
  if (in_.output_failed->load(std::memory_order_relaxed)) {
    stop(Status::success());  // the reader went away
    return;
  }
  const std::uint64_t now = monotonic_now_ns();
  maintain_monitors(now);
  mixer_.tick(now, *in_.producer);
  release_drained_monitors();
}

}  // namespace audio_host::linux_host
