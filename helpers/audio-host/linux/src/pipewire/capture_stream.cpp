#include "pipewire/capture_stream.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>

#include "shared/processes.h"
#include "stream_format.h"

namespace audio_host::pipewire_host {
namespace {

using vantle::make_error;

constexpr std::string_view kContext = "capture stream";
constexpr std::uint32_t kFrameBytes = kCaptureChannels * sizeof(float);

}  // namespace

CaptureStream::CaptureStream(const CaptureFeed& feed)
    : processing_{feed, nullptr}, gaps_(kCaptureSampleRate, kMaxGapFillFrames) {}

vantle::Result<std::unique_ptr<CaptureStream>> CaptureStream::start(pw_core* core,
                                                                    const CaptureFeed& feed,
                                                                    StateCallback on_state,
                                                                    void* userdata) {
  std::unique_ptr<CaptureStream> capture(new CaptureStream(feed));
  capture->on_state_ = on_state;
  capture->userdata_ = userdata;
  // No node.latency: the graph runs at the quantum the other nodes ask for.
  pw_properties* properties = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_NODE_NAME, "audio-host",
      PW_KEY_NODE_DESCRIPTION, "audio-host capture", PW_KEY_NODE_AUTOCONNECT, "false",
      PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr);
  if (properties == nullptr) {
    return make_error(linux_host::os_error_message(kContext, errno));
  }
  // pw_stream_new takes the properties, also when it fails.
  capture->stream_.reset(pw_stream_new(core, "audio-host", properties));
  if (!capture->stream_) {
    return make_error(linux_host::os_error_message(kContext, errno));
  }
  static const pw_stream_events kEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &CaptureStream::state_changed;
    events.process = &CaptureStream::process;
    return events;
  }();
  pw_stream_add_listener(capture->stream_.get(), capture->listener_.get(), &kEvents, capture.get());

  std::uint8_t pod_memory[1024];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, pod_memory, sizeof pod_memory);
  spa_audio_info_raw format{};
  format.format = SPA_AUDIO_FORMAT_F32;
  format.rate = kCaptureSampleRate;
  format.channels = kCaptureChannels;
  format.position[0] = SPA_AUDIO_CHANNEL_FL;
  format.position[1] = SPA_AUDIO_CHANNEL_FR;
  const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};

  capture->processing_.stream = capture->stream_.get();
  capture->published_.store(&capture->processing_, std::memory_order_release);
  const int connected = pw_stream_connect(
      capture->stream_.get(), PW_DIRECTION_INPUT, PW_ID_ANY,
      static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS), params,
      1);
  if (connected < 0) {
    return make_error(linux_host::os_error_message(kContext, -connected));
  }
  return capture;
}

CaptureStream::~CaptureStream() {
  listener_.reset();
  stream_.reset();
}

std::uint32_t CaptureStream::node_id() const {
  return pw_stream_get_node_id(stream_.get());
}

void CaptureStream::state_changed(void* userdata, pw_stream_state, pw_stream_state state,
                                  const char* error) {
  auto* self = static_cast<CaptureStream*>(userdata);
  if (self->on_state_ != nullptr) {
    self->on_state_(self->userdata_, state, state == PW_STREAM_STATE_ERROR ? error : nullptr);
  }
}

void CaptureStream::process(void* userdata) {
  auto* self = static_cast<CaptureStream*>(userdata);
  const Processing* processing = self->published_.load(std::memory_order_acquire);
  if (processing == nullptr) {
    return;
  }
  pw_buffer* buffer = pw_stream_dequeue_buffer(processing->stream);
  if (buffer == nullptr) {
    return;
  }
  self->deliver(*processing, *buffer->buffer);
  (void)pw_stream_queue_buffer(processing->stream, buffer);
}

void CaptureStream::deliver(const Processing& processing, const spa_buffer& buffer) {
  const CaptureFeed& feed = processing.feed;
  if (buffer.n_datas >= 1 && buffer.datas[0].chunk != nullptr) {
    const spa_data& data = buffer.datas[0];
    const std::uint32_t offset = std::min(data.chunk->offset, data.maxsize);
    const std::uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
    const std::uint64_t frames = size / kFrameBytes;

    pw_time time{};
    const bool timed =
        pw_stream_get_time_n(processing.stream, &time, sizeof time) == 0 && time.rate.num == 1;
    const CycleGap gap = gaps_.next_cycle(time.ticks, timed ? time.rate.denom : 0, frames);
    if (gap.silence_frames > 0) {
      feed.producer->push_silence(gap.silence_frames);
    }
    if (gap.discontinuity) {
      // Counted without moving the frame position: the blocks stay whole.
      feed.producer->count_losses(gap.dropped_frames, 1);
    }
    if (frames > 0) {
      if (data.data == nullptr || (data.chunk->flags & SPA_CHUNK_FLAG_EMPTY) != 0) {
        feed.producer->push_silence(frames);
      } else {
        feed.producer->push_samples(
            static_cast<const float*>(SPA_PTROFF(data.data, offset, const void)),
            frames * kCaptureChannels);
      }
    }
  }
  if (!failure_signalled_ && feed.output_failed->load(std::memory_order_relaxed)) {
    failure_signalled_ = true;
    (void)pw_loop_signal_event(feed.main_loop, feed.output_failed_event);
  }
}

}  // namespace audio_host::pipewire_host
