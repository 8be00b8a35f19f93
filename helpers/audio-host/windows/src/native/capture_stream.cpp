#include "native/capture_stream.h"

#include <algorithm>
#include <cstdint>

#include "native/processes.h"
#include "native/system_error.h"

namespace audio_host::win {
namespace {

using vantle::make_error;

vantle::Error com_failure(const char* context, HRESULT result) {
  return make_error(context_message(context, SystemError::from_hresult(result)));
}

WAVEFORMATEX capture_format() {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
  format.nChannels = kCaptureChannels;
  format.nSamplesPerSec = kCaptureSampleRate;
  format.wBitsPerSample = 32;
  format.nBlockAlign = kCaptureChannels * 4;
  format.nAvgBytesPerSec = kCaptureSampleRate * format.nBlockAlign;
  format.cbSize = 0;
  return format;
}
static_assert(sizeof(WAVEFORMATEX) == 18, "a plain WAVEFORMATEX, not the extensible one");

constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM |
                               AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_LOOPBACK;
static_assert(kStreamFlags == 0x80060000u);

constexpr DWORD kEventWaitMs = 250;
constexpr unsigned kMaxPacketsPerWake = 64;

// Reads at most kMaxPacketsPerWake packets. Returns an error or success.
Status drain_packets(const PacketLoopInputs& in) {
  IAudioCaptureClient* capture = in.stream.capture_client.get();
  for (unsigned packets = 0; packets < kMaxPacketsPerWake;) {
    UINT32 next_frames = 0;
    HRESULT result = capture->GetNextPacketSize(&next_frames);
    if (FAILED(result)) {
      return com_failure("next capture packet", result);
    }
    ++packets;
    if (next_frames == 0) {
      break;
    }

    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    result = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
    if (FAILED(result)) {
      return com_failure("read capture packet", result);  // nothing to release
    }
    if (result == AUDCLNT_S_BUFFER_EMPTY) {
      // No packet after all (the announced one is not ready yet): nothing
      // was acquired, so nothing is released. The next signal brings it.
      break;
    }
    if (frames > in.stream.buffer_frames) {
      capture->ReleaseBuffer(frames);
      return make_error("capture packet exceeded negotiated buffer");
    }
    if ((flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0) {
      in.producer.mark_discontinuity();
    }
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
      in.producer.push_silence(frames);  // the data is not read
    } else if (frames > 0) {
      if (data == nullptr || reinterpret_cast<std::uintptr_t>(data) % alignof(float) != 0) {
        capture->ReleaseBuffer(frames);
        return make_error("invalid float capture buffer");
      }
      // push_samples copies: the packet can go back right after.
      in.producer.push_samples(reinterpret_cast<const float*>(data),
                               std::uint64_t{frames} * kCaptureChannels);
    }
    result = capture->ReleaseBuffer(frames);
    if (FAILED(result)) {
      return com_failure("release capture packet", result);
    }
  }
  return Status::success();
}

}  // namespace

vantle::Result<CaptureStream> open_capture_stream(ComPtr<IAudioClient> audio_client) {
  CaptureStream stream;
  stream.audio_client = std::move(audio_client);
  const WAVEFORMATEX format = capture_format();
  HRESULT result = stream.audio_client->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, 0, 0,
                                                   &format, nullptr);
  if (FAILED(result)) {
    return com_failure("initialize float32 process capture", result);
  }
  result = stream.audio_client->GetBufferSize(&stream.buffer_frames);
  if (FAILED(result)) {
    return com_failure("capture buffer size", result);
  }
  result =
      stream.audio_client->GetService(kIidAudioCaptureClient, stream.capture_client.put_void());
  if (FAILED(result)) {
    return com_failure("capture service", result);
  }
  if (!stream.capture_client) {
    return make_error(context_message("capture service", SystemError::without_code()));
  }
  stream.capture_event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!stream.capture_event) {
    return make_error(context_message("capture event", SystemError::from_last_error()));
  }
  result = stream.audio_client->SetEventHandle(stream.capture_event.get());
  if (FAILED(result)) {
    return com_failure("set capture event", result);
  }
  return stream;
}

Status start_capture_stream(CaptureStream& stream) {
  const HRESULT result = stream.audio_client->Start();
  if (FAILED(result)) {
    return com_failure("start process capture", result);
  }
  return Status::success();
}

void stop_capture_stream(CaptureStream& stream) {
  if (stream.audio_client) {
    stream.audio_client->Stop();  // a failure changes nothing now
    stream.audio_client.reset();
  }
}

Status run_packet_loop(const PacketLoopInputs& in) {
  for (;;) {
    if (in.stop_requested.load()) {
      return Status::success();
    }
    if (in.output_failed.load()) {
      return Status::success();
    }
    if (!in.translator.running()) {
      return Status::success();
    }
    if (in.selected != nullptr && !in.selected->running()) {
      return make_error("selected process exited");
    }
    const DWORD waited = WaitForSingleObject(in.stream.capture_event.get(), kEventWaitMs);
    if (waited == WAIT_TIMEOUT) {
      continue;
    }
    if (waited != WAIT_OBJECT_0) {
      return make_error("capture event wait failed");
    }
    Status drained = drain_packets(in);
    if (!drained.ok()) {
      return drained;
    }
  }
}

}  // namespace audio_host::win
