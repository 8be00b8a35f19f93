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
// How long a monitor whose stream has gone waits for the server to end it
// (PulseAudio ends it right after the last fragments it sends).
constexpr std::uint64_t kEndGraceNs = 200 * kNsPerMs;
// The first delivery of a stream that played before the capture began
// comes within a few fragments, unless its sink had rendered far ahead.
constexpr std::uint64_t kLateFirstDeliveryNs = 60 * kNsPerMs;
// A member whose monitor cannot be opened for this long is counted as it
// goes.
constexpr std::uint64_t kUnopenedCountNs = 250 * kNsPerMs;
// Audio a member played unheard is counted up to this much at a time.
constexpr std::uint64_t kMaxCountedUnheardNs = 10'000 * kNsPerMs;
// A connection the server refused blocks new ones for 100 ms, doubling up
// to 2 s while it goes on refusing.
constexpr std::uint64_t kFirstConnectBackoffNs = 100 * kNsPerMs;
constexpr std::uint64_t kMaxConnectBackoffNs = 2000 * kNsPerMs;
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

MemberMonitors::MemberMonitors(SoundServerConnection& connection, CaptureStopper& stopper)
    : connection_(connection), stopper_(stopper), mixer_(limits_) {}

MemberMonitors::~MemberMonitors() {
  // Each buffer leaves the mix before it goes; each stream before its
  // connection.
  for (auto& [index, monitor] : members_) {
    if (!monitor->prepared) {
      mixer_.remove(&monitor->buffer);
    }
  }
  members_.clear();
  for (const auto& monitor : ending_) {
    mixer_.remove(&monitor->buffer);
  }
  ending_.clear();
  connections_.clear();
}

template <class Each>
void MemberMonitors::for_each_monitor(Each each) {
  for (auto& [index, monitor] : members_) {
    each(*monitor);
  }
  for (const auto& monitor : ending_) {
    each(*monitor);
  }
}

MemberMonitors::Monitor& MemberMonitors::create(std::uint32_t sink_input) {
  auto monitor = std::make_unique<Monitor>(limits_);
  monitor->owner = this;
  monitor->sink_input = sink_input;
  Monitor& created = *monitor;
  members_[sink_input] = std::move(monitor);
  return created;
}

void MemberMonitors::prepare(std::uint32_t sink_input) {
  if (members_.contains(sink_input)) {
    return;
  }
  Monitor& monitor = create(sink_input);
  monitor.prepared = true;
  monitor.unheard_since_ns = monotonic_now_ns();
  open(monitor);
}

void MemberMonitors::discard(std::uint32_t sink_input) {
  const auto found = members_.find(sink_input);
  if (found != members_.end() && found->second->prepared) {
    release_stream(*found->second);
    members_.erase(found);
  }
}

void MemberMonitors::add(std::uint32_t sink_input, bool corked) {
  const auto found = members_.find(sink_input);
  Monitor& monitor = found != members_.end() ? *found->second : create(sink_input);
  monitor.corked = corked;
  monitor.buffer.set_corked(corked);
  mixer_.add(&monitor.buffer);
  if (!monitor.prepared) {
    monitor.unheard_since_ns = corked ? 0 : monotonic_now_ns();
    monitor.only_if_late = true;
    open(monitor);
  }
  monitor.prepared = false;
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
  if (found->second->prepared) {
    release_stream(*found->second);
    members_.erase(found);
    return;
  }
  // The last few fragments the stream played are in its buffer or on
  // their way.
  std::unique_ptr<Monitor> monitor = std::move(found->second);
  members_.erase(found);
  monitor->ended_ns = monotonic_now_ns();
  monitor->buffer.end();
  ending_.push_back(std::move(monitor));
}

void MemberMonitors::start(std::uint64_t now_ns) {
  mixer_.start(now_ns);
}

void MemberMonitors::tick(std::uint64_t now_ns, vantle_audio::CaptureProducer& producer) {
  reopen_due(now_ns);
  tend_connections(now_ns);
  finish_ended(now_ns);
  mixer_.tick(now_ns, producer);
  release_drained();
}

void MemberMonitors::finish_ended(std::uint64_t now_ns) {
  for (const auto& monitor : ending_) {
    if (monitor->finished ||
        !(monitor->failed || !monitor->stream || now_ns - monitor->ended_ns > kEndGraceNs)) {
      continue;
    }
    if (monitor->unheard_since_ns != 0 && !monitor->corked &&
        monitor->ended_ns > monitor->unheard_since_ns) {
      // It played, and ended, before its monitor delivered anything.
      monitor->buffer.count_lost(frames_due(
          std::min(monitor->ended_ns - monitor->unheard_since_ns, kMaxCountedUnheardNs)));
    }
    release_stream(*monitor);
    monitor->finished = true;
  }
}

void MemberMonitors::release_drained() {
  std::erase_if(ending_, [this](const std::unique_ptr<Monitor>& monitor) {
    if (!monitor->finished || !monitor->buffer.drained()) {
      return false;
    }
    mixer_.remove(&monitor->buffer);
    return true;
  });
}

void MemberMonitors::release_stream(Monitor& monitor) {
  monitor.stream.reset();
  if (monitor.connection != nullptr) {
    --monitor.connection->monitors;
    monitor.connection = nullptr;
  }
}

void MemberMonitors::open(Monitor& monitor) {
  release_stream(monitor);
  monitor.failed = false;
  monitor.had_data = false;
  monitor.opened_ns = monotonic_now_ns();
  if (own_connections_) {
    monitor.connection = pick_connection(monitor.opened_ns);
  }
  if (monitor.connection == nullptr) {
    connect_stream(monitor);
    return;
  }
  ++monitor.connection->monitors;
  if (monitor.connection->ready) {
    connect_stream(monitor);
  }  // else once its connection is ready (context_state)
}

MemberMonitors::Connection* MemberMonitors::pick_connection(std::uint64_t now_ns) {
  for (const auto& connection : connections_) {
    if (connection->ready && !connection->failed && connection->monitors == 0) {
      return connection.get();  // the spare, ready
    }
  }
  if (connections_.size() < kMaxConnections && now_ns >= connect_blocked_until_ns_) {
    if (Connection* fresh = new_connection()) {
      return fresh;
    }
  }
  Connection* least = nullptr;
  for (const auto& connection : connections_) {
    if (!connection->failed && (least == nullptr || connection->monitors < least->monitors)) {
      least = connection.get();
    }
  }
  return least;  // null: the main connection
}

MemberMonitors::Connection* MemberMonitors::new_connection() {
  auto connection = std::make_unique<Connection>();
  connection->owner = this;
  connection->context.reset(pa_context_new(connection_.api(), "audio-host"));
  if (!connection->context) {
    return nullptr;
  }
  pa_context_set_state_callback(connection->context.get(), &MemberMonitors::context_state,
                                connection.get());
  if (pa_context_connect(connection->context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    connection->failed = true;
  }
  connections_.push_back(std::move(connection));
  return connections_.back().get();
}

void MemberMonitors::tend_connections(std::uint64_t now_ns) {
  if (!own_connections_) {
    return;
  }
  // A failed connection goes, after the streams on it.
  for (const auto& connection : connections_) {
    if (connection->failed) {
      for_each_monitor([&](Monitor& monitor) {
        if (monitor.connection == connection.get()) {
          release_stream(monitor);
          mark_failed(monitor);
        }
      });
    }
  }
  std::erase_if(connections_,
                [](const std::unique_ptr<Connection>& connection) { return connection->failed; });
  // One idle connection is kept for the next new stream; others go.
  bool spare = false;
  std::erase_if(connections_, [&](const std::unique_ptr<Connection>& connection) {
    if (connection->monitors != 0) {
      return false;
    }
    const bool extra = spare;
    spare = true;
    return extra;
  });
  if (!spare && connections_.size() < kMaxConnections && now_ns >= connect_blocked_until_ns_ &&
      !stopper_.stopped()) {
    (void)new_connection();
  }
}

void MemberMonitors::connect_stream(Monitor& monitor) {
  constexpr const char* kContext = "monitor stream";
  pa_context* context =
      monitor.connection != nullptr ? monitor.connection->context.get() : connection_.context();
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
    if (!monitor.corked && monitor.unheard_since_ns == 0) {
      monitor.unheard_since_ns = monitor.failed_ns;
      monitor.only_if_late = false;
    }
  }
}

void MemberMonitors::context_state(pa_context* context, void* userdata) {
  auto* connection = static_cast<Connection*>(userdata);
  MemberMonitors& owner = *connection->owner;
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    connection->ready = true;
    owner.connect_failures_ = 0;
    if (owner.stopper_.stopped()) {
      return;
    }
    owner.for_each_monitor([&](Monitor& monitor) {
      if (monitor.connection == connection && !monitor.stream && !monitor.failed) {
        owner.connect_stream(monitor);
      }
    });
  } else if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
    // Released by the next tick. The server may be full: no new connection
    // for a while.
    connection->failed = true;
    connection->ready = false;
    const unsigned doublings = std::min(owner.connect_failures_, 5u);
    ++owner.connect_failures_;
    owner.connect_blocked_until_ns_ =
        monotonic_now_ns() + std::min(kMaxConnectBackoffNs, kFirstConnectBackoffNs << doublings);
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
      const auto* samples = static_cast<const float*>(data);
      const std::size_t frames = bytes / kFrameBytes;
      if (monitor->unheard_since_ns != 0) {
        // Its first delivery since it appeared or failed. Already sounding:
        // the server played its start (or what followed the failure) before
        // the host could hear it (PulseAudio renders a new stream at once;
        // PipeWire's service takes tens of milliseconds to link a monitor).
        // What is lost is about the time since the host learnt of it.
        const std::uint64_t unheard = monotonic_now_ns() - monitor->unheard_since_ns;
        if (!is_quiet(samples, frames * kMixChannels) &&
            (!monitor->only_if_late || unheard > kLateFirstDeliveryNs)) {
          monitor->buffer.count_lost(frames_due(std::min(unheard, kMaxCountedUnheardNs)));
        }
        monitor->unheard_since_ns = 0;
      }
      monitor->buffer.write(samples, frames);
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
    // A member whose monitor cannot be opened (failing, or waiting for a
    // connection the server does not give) plays unheard: counted as it
    // goes, whether or not its monitor ever comes.
    const bool unopened = monitor.failed || !monitor.stream ||
                          pa_stream_get_state(monitor.stream.get()) != PA_STREAM_READY;
    if (unopened && !monitor.prepared && !monitor.corked && monitor.unheard_since_ns != 0 &&
        now_ns - monitor.unheard_since_ns > kUnopenedCountNs) {
      monitor.buffer.count_lost(frames_due(now_ns - monitor.unheard_since_ns));
      monitor.unheard_since_ns = now_ns;
      monitor.only_if_late = false;
    }
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
