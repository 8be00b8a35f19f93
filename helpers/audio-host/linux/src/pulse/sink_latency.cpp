#include "pulse/sink_latency.h"

namespace audio_host::linux_host {

vantle::Status SinkLatencyHolders::hold_all() {
  pa_context* context = connection_.context();
  const UniqueOperation listed(
      pa_context_get_sink_info_list(context, &SinkLatencyHolders::sink_info, this));
  if (!listed) {
    return vantle::make_error(pulse_message("list sinks", pa_context_errno(context)));
  }
  return vantle::Status::success();
}

void SinkLatencyHolders::on_sink_event(pa_subscription_event_type_t kind, std::uint32_t sink) {
  if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    holders_.erase(sink);
  } else if (kind == PA_SUBSCRIPTION_EVENT_NEW) {
    // Only the reference goes; the request is answered by sink_info.
    (void)UniqueOperation(pa_context_get_sink_info_by_index(connection_.context(), sink,
                                                            &SinkLatencyHolders::sink_info, this));
  }
}

void SinkLatencyHolders::sink_info(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
  if (eol == 0 && info != nullptr && info->monitor_source_name != nullptr) {
    static_cast<SinkLatencyHolders*>(userdata)->hold(*info);
  }
}

void SinkLatencyHolders::hold(const pa_sink_info& sink) {
  if (holders_.contains(sink.index)) {
    return;
  }
  // Any format: a corked stream is never handed data.
  constexpr pa_sample_spec kAnyFormat{PA_SAMPLE_S16LE, 48000, 1};
  UniqueStream stream(
      pa_stream_new(connection_.context(), "audio-host latency", &kAnyFormat, nullptr));
  if (!stream) {
    return;  // the sink is only not held: its streams are still captured
  }
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(-1);
  attributes.prebuf = static_cast<std::uint32_t>(-1);
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(latency_usec_, &kAnyFormat));
  const auto flags =
      static_cast<pa_stream_flags_t>(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY |
                                     PA_STREAM_DONT_MOVE | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND);
  if (pa_stream_connect_record(stream.get(), sink.monitor_source_name, &attributes, flags) < 0) {
    return;
  }
  holders_.emplace(sink.index, std::move(stream));
  // The server takes the commands in order: the holder first.
  constexpr pa_usec_t kFewPieces = 4;
  if (sink.state == PA_SINK_IDLE && sink.latency > kFewPieces * latency_usec_) {
    pa_context* context = connection_.context();
    (void)UniqueOperation(
        pa_context_suspend_sink_by_index(context, sink.index, 1, nullptr, nullptr));
    (void)UniqueOperation(
        pa_context_suspend_sink_by_index(context, sink.index, 0, nullptr, nullptr));
  }
}

}  // namespace audio_host::linux_host
