#include "pulse/member_monitors.h"

#include <time.h>

#include <algorithm>

namespace audio_host::linux_host {
namespace {

using vantle::make_error;

constexpr std::uint64_t kNsPerMs = 1'000'000;
// A monitor that is still connecting after this long, while its stream is
// not corked, is opened anew (monitors of a stream that has not played can
// stay in CREATING).
constexpr std::uint64_t kCreatingTimeoutNs = 3000 * kNsPerMs;
// Re-opening a monitor that fails again and again without delivering: at
// once the first time, then after 50 ms, doubling up to a second.
constexpr std::uint64_t kFirstBackoffNs = 50 * kNsPerMs;
constexpr std::uint64_t kMaxBackoffNs = 1000 * kNsPerMs;
constexpr unsigned kMaxBackoffDoublings = 5;  // 50 ms doubled five times passes the second
// What the server delivers at a time: about 10 ms of each monitor.
constexpr pa_usec_t kFragmentUsec = 10'000;
constexpr pa_sample_spec kMonitorFormat{PA_SAMPLE_FLOAT32LE, kMixSampleRate, kMixChannels};

std::uint64_t monotonic_now_ns() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t backoff_ns(unsigned failures_in_row) {
  if (failures_in_row <= 1) {
    return 0;
  }
  const unsigned doublings = std::min(failures_in_row - 2, kMaxBackoffDoublings);
  return std::min(kMaxBackoffNs, kFirstBackoffNs << doublings);
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

MemberMonitors::MemberMonitors(SoundServerConnection& connection, CaptureStopper& stopper)
    : connection_(connection), stopper_(stopper), mixer_(limits_) {}

MemberMonitors::~MemberMonitors() {
  // Each buffer leaves the mix before it goes; each stream before its
  // connection (member order).
  for (auto& [index, monitor] : members_) {
    mixer_.remove(&monitor->buffer);
  }
  members_.clear();
  for (const auto& monitor : ending_) {
    mixer_.remove(&monitor->buffer);
  }
  ending_.clear();
}

void MemberMonitors::add(std::uint32_t sink_input, bool corked) {
  auto monitor = std::make_unique<Monitor>(limits_);
  monitor->owner = this;
  monitor->sink_input = sink_input;
  monitor->corked = corked;
  monitor->buffer.set_corked(corked);
  mixer_.add(&monitor->buffer);
  Monitor& added = *monitor;
  members_[sink_input] = std::move(monitor);
  open(added);
}

void MemberMonitors::set_corked(std::uint32_t sink_input, bool corked) {
  if (const auto found = members_.find(sink_input); found != members_.end()) {
    found->second->corked = corked;
    found->second->buffer.set_corked(corked);
  }
}

void MemberMonitors::end(std::uint32_t sink_input) {
  const auto found = members_.find(sink_input);
  if (found == members_.end()) {
    return;
  }
  // The last few fragments the stream played are still in its buffer.
  std::unique_ptr<Monitor> monitor = std::move(found->second);
  members_.erase(found);
  monitor->stream.reset();
  monitor->context.reset();
  monitor->buffer.end();
  ending_.push_back(std::move(monitor));
}

void MemberMonitors::start(std::uint64_t now_ns) {
  mixer_.start(now_ns);
}

void MemberMonitors::tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer) {
  reopen_due(now_ns);
  mixer_.tick(now_ns, producer);
  release_drained();
}

void MemberMonitors::release_drained() {
  std::erase_if(ending_, [this](const std::unique_ptr<Monitor>& monitor) {
    if (!monitor->buffer.drained()) {
      return false;
    }
    mixer_.remove(&monitor->buffer);
    return true;
  });
}

void MemberMonitors::open(Monitor& monitor) {
  monitor.stream.reset();
  monitor.context.reset();
  monitor.failed = false;
  monitor.had_data = false;
  monitor.opened_ns = monotonic_now_ns();
  if (!own_connections_) {
    connect_stream(monitor);
    return;
  }
  // The stream is created once its connection is ready. A connection that
  // cannot be made fails the monitor, which is opened again (the loss of
  // the server itself ends the capture through the main connection).
  monitor.context.reset(pa_context_new(connection_.api(), "audio-host"));
  if (!monitor.context) {
    stopper_.stop(make_error(pulse_message("monitor stream", PA_ERR_INTERNAL)));
    return;
  }
  pa_context_set_state_callback(monitor.context.get(), &MemberMonitors::context_state, &monitor);
  if (pa_context_connect(monitor.context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    mark_failed(monitor);
  }
}

void MemberMonitors::connect_stream(Monitor& monitor) {
  constexpr const char* kContext = "monitor stream";
  pa_context* context = monitor.context ? monitor.context.get() : connection_.context();
  monitor.stream.reset(pa_stream_new(context, "audio-host monitor", &kMonitorFormat, nullptr));
  pa_stream* stream = monitor.stream.get();
  if (stream == nullptr) {
    stopper_.stop(make_error(pulse_message(kContext, pa_context_errno(context))));
    return;
  }
  if (pa_stream_set_monitor_stream(stream, monitor.sink_input) < 0) {
    stopper_.stop(make_error(pulse_message(kContext, pa_context_errno(context))));
    return;
  }
  pa_stream_set_state_callback(stream, &MemberMonitors::stream_state, &monitor);
  pa_stream_set_read_callback(stream, &MemberMonitors::stream_read, &monitor);
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize =
      static_cast<std::uint32_t>(pa_usec_to_bytes(kFragmentUsec, &kMonitorFormat));
  if (pa_stream_connect_record(stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
    stopper_.stop(make_error(pulse_message(kContext, pa_context_errno(context))));
  }
}

void MemberMonitors::mark_failed(Monitor& monitor) {
  // Re-opened by the next tick: a stream or a connection cannot be
  // released inside its own callback.
  if (!monitor.failed) {
    monitor.failed = true;
    monitor.failed_ns = monotonic_now_ns();
    monitor.failures_in_row = monitor.had_data ? 1 : monitor.failures_in_row + 1;
  }
}

void MemberMonitors::context_state(pa_context* context, void* userdata) {
  auto* monitor = static_cast<Monitor*>(userdata);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    if (!monitor->owner->stopper_.stopped()) {
      monitor->owner->connect_stream(*monitor);
    }
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    mark_failed(*monitor);
  }
}

void MemberMonitors::stream_state(pa_stream* stream, void* userdata) {
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
    mark_failed(*static_cast<Monitor*>(userdata));
  }
}

void MemberMonitors::stream_read(pa_stream* stream, std::size_t, void* userdata) {
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

void MemberMonitors::reopen_due(std::uint64_t now_ns) {
  for (auto& [index, member] : members_) {
    if (stopper_.stopped()) {
      return;
    }
    Monitor& monitor = *member;
    if (monitor.failed) {
      if (now_ns >= monitor.failed_ns + backoff_ns(monitor.failures_in_row)) {
        open(monitor);
      }
    } else if (!monitor.corked && !monitor.had_data &&
               (!monitor.stream ||
                pa_stream_get_state(monitor.stream.get()) == PA_STREAM_CREATING) &&
               now_ns - monitor.opened_ns > kCreatingTimeoutNs) {
      open(monitor);
    }
  }
}

}  // namespace audio_host::linux_host
