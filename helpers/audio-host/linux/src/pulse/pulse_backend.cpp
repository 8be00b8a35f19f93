#include "pulse/pulse_backend.h"

#include <time.h>

#include "shared/signals.h"

namespace audio_host::linux_host {
namespace {

using vantle::make_error;
using vantle::Status;

constexpr std::uint64_t kConnectTimeoutUsec = 10'000'000;
// The render size the sinks of a PulseAudio server are held at while the
// host captures (sink_latency.h).
constexpr std::uint64_t kSinkLatencyUsec = 10'000;

std::uint64_t monotonic_now_ns() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

Status PulseBackend::set_up(const CaptureSelection& selection) {
  selection_ = selection;
  auto connected = SoundServerConnection::connect(kConnectTimeoutUsec);
  if (!connected) {
    return std::move(connected).take_error();
  }
  connection_ = std::move(connected).value();
  auto pipewire = runs_on_pipewire(*connection_);
  if (!pipewire) {
    return std::move(pipewire).take_error();
  }
  pipewire_ = pipewire.value();
  if (!pipewire_) {
    // Held from now on, so that the sinks render in small pieces by the
    // time the capture starts.
    holders_ = std::make_unique<SinkLatencyHolders>(*connection_, kSinkLatencyUsec);
    if (Status held = holders_->hold_all(); !held) {
      return held;
    }
  }
  return Status::success();
}

void PulseBackend::stop(Status result) {
  if (stopped_) {
    return;
  }
  stopped_ = true;
  result_ = std::move(result);
  pa_mainloop_quit(connection_->mainloop(), 0);
}

void PulseBackend::stop() {
  // Nothing feeds the producer after this.
  if (connection_) {
    pa_context_set_subscribe_callback(connection_->context(), nullptr, nullptr);
  }
  members_.reset();
  monitors_.reset();
  timer_.reset();
  io_events_.clear();
  watched_.clear();
  holders_.reset();
  if (connection_) {
    connection_->on_connection_lost(nullptr, nullptr);
  }
  connection_.reset();
}

void PulseBackend::watch(int fd, void (*callback)(PulseBackend*)) {
  if (fd < 0) {
    return;
  }
  watched_.push_back(std::make_unique<Watched>(Watched{this, fd, callback}));
  pa_mainloop_api* api = connection_->api();
  io_events_.emplace_back(UniqueIoEvent::Value{
      api,
      api->io_new(api, fd, PA_IO_EVENT_INPUT, &PulseBackend::fd_ready, watched_.back().get())});
}

void PulseBackend::fd_ready(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t,
                            void* userdata) {
  const auto* watched = static_cast<Watched*>(userdata);
  watched->callback(watched->owner);
}

void PulseBackend::connection_lost(void* userdata) {
  auto* self = static_cast<PulseBackend*>(userdata);
  self->stop(make_error(
      pulse_message("sound server connection", pa_context_errno(self->connection_->context()))));
}

Status PulseBackend::run(const CaptureLoopInputs& inputs) {
  inputs_ = &inputs;
  pa_context* context = connection_->context();
  connection_->on_connection_lost(&PulseBackend::connection_lost, this);

  watch(stop_signals_.get(), [](PulseBackend* self) {
    if (read_stop_signal(self->stop_signals_.get())) {
      self->stop(Status::success());
    }
  });
  watch(inputs.translator.handle(), [](PulseBackend* self) { self->stop(Status::success()); });
  if (inputs.selected != nullptr) {
    watch(inputs.selected->handle(),
          [](PulseBackend* self) { self->stop(make_error("selected process exited")); });
  }

  CaptureStopper& stopper = *this;
  StreamMembers::Listener& listener = *this;
  monitors_ = std::make_unique<MemberMonitors>(*connection_, stopper);
  monitors_->use_own_connections(pipewire_);
  members_ = std::make_unique<StreamMembers>(*connection_, *selection_, listener, stopper);
  pa_context_set_subscribe_callback(context, &PulseBackend::server_event, this);
  const UniqueOperation subscribed(pa_context_subscribe(
      context, StreamMembers::kEvents,
      [](pa_context* c, int success, void* userdata) {
        if (success == 0) {
          static_cast<PulseBackend*>(userdata)->stop(
              make_error(pulse_message("subscribe to sound server events", pa_context_errno(c))));
        }
      },
      this));
  if (!subscribed) {
    return make_error(pulse_message("subscribe to sound server events", pa_context_errno(context)));
  }
  if (Status following = members_->follow(); !following) {
    return following;
  }

  monitors_->start(monotonic_now_ns());
  timer_.reset({connection_->api(), pa_context_rttime_new(context, pa_rtclock_now() + kTickUsec,
                                                          &PulseBackend::timer_fired, this)});
  if (!timer_) {
    return make_error(pulse_message("mix timer", PA_ERR_INTERNAL));
  }
  while (!stopped_) {
    if (pa_mainloop_iterate(connection_->mainloop(), 1, nullptr) < 0 && !stopped_) {
      stop(make_error(pulse_message("sound server connection", PA_ERR_INTERNAL)));
    }
  }
  inputs_ = nullptr;
  return result_;
}

void PulseBackend::server_event(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                                void* userdata) {
  auto* self = static_cast<PulseBackend*>(userdata);
  const auto facility =
      static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
  const auto kind =
      static_cast<pa_subscription_event_type_t>(type & PA_SUBSCRIPTION_EVENT_TYPE_MASK);
  if (facility == PA_SUBSCRIPTION_EVENT_SINK && self->holders_) {
    self->holders_->on_sink_event(kind, index);
  }
  self->members_->on_event(facility, kind, index);
}

void PulseBackend::stream_appeared(std::uint32_t sink_input) {
  monitors_->prepare(sink_input);
}

void PulseBackend::stream_left_out(std::uint32_t sink_input) {
  monitors_->discard(sink_input);
}

void PulseBackend::member_added(std::uint32_t sink_input, bool corked) {
  monitors_->add(sink_input, corked);
}

void PulseBackend::member_corked(std::uint32_t sink_input, bool corked) {
  monitors_->set_corked(sink_input, corked);
}

void PulseBackend::member_removed(std::uint32_t sink_input) {
  monitors_->end(sink_input);
}

void PulseBackend::timer_fired(pa_mainloop_api*, pa_time_event* event, const struct timeval*,
                               void* userdata) {
  auto* self = static_cast<PulseBackend*>(userdata);
  self->tick();
  if (!self->stopped_) {
    pa_context_rttime_restart(self->connection_->context(), event, pa_rtclock_now() + kTickUsec);
  }
}

void PulseBackend::tick() {
  // The PCM output has ended (a failed write, or the reader gone): the
  // pipeline tells which when it stops.
  if (inputs_->output_failed.load(std::memory_order_relaxed)) {
    stop(Status::success());
    return;
  }
  monitors_->tick(monotonic_now_ns(), inputs_->producer);
}

}  // namespace audio_host::linux_host
