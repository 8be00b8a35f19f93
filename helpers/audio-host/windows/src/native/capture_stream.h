// The process-loopback capture stream and its packet loop.
//
// Threads: everything here runs on the main thread. The loop reads the
// console stop flag (set by the console stop handler, console_stop.h) and
// the pipeline's output_failed flag (set by the capture worker) with plain
// atomic loads once per pass; it takes no lock and never waits on the
// worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "native/owners.h"
#include "result.h"
#include "stream_format.h"

namespace audio_host::win {

using vantle_audio::Status;

// The initialised audio client and what belongs to it. Members are released
// in reverse order of declaration, which is the order a failed set-up needs:
// the event, the capture client, then the audio client. After a capture the
// run sequence takes them down in its own order with stop_capture_stream and
// close_capture_stream.
struct CaptureStream {
  ComPtr<IAudioClient> audio_client;
  ComPtr<IAudioCaptureClient> capture_client;
  EventHandle capture_event;  // auto-reset, signalled by the audio system
  std::uint32_t buffer_frames = 0;
};

// Silent packets are pushed from a block of this many zeros.
inline constexpr std::size_t kZeroBlockSamples = 1024;

// Initialises `stream.audio_client` for event-driven shared loopback capture
// and fills in the rest of `stream`. On an error, whatever was created stays
// in `stream` for the caller to release.
Status open_capture_stream(CaptureStream& stream);

// IAudioClient::Start.
Status start_capture_stream(CaptureStream& stream);

// IAudioClient::Stop (its failure ignored), then the audio client's release.
void stop_capture_stream(CaptureStream& stream);

// Closes the capture event (failure ignored), then releases the capture
// client.
void close_capture_stream(CaptureStream& stream);

// Where the packet loop delivers audio: the capture pipeline's producer.
class SampleConsumer {
 public:
  virtual void push_samples(const float* samples, std::uint64_t sample_count) = 0;
  virtual void mark_discontinuity() = 0;

 protected:
  ~SampleConsumer() = default;
};

struct PacketLoopInputs {
  const std::atomic<bool>& stop_requested;
  const std::atomic<bool>& output_failed;
  HANDLE translator_process;
  HANDLE selected_process;  // null for a system capture
  CaptureStream& stream;
  SampleConsumer& consumer;
  const float* zero_block;  // kZeroBlockSamples zeros
};

// Reads packets into the consumer until a stop condition holds. A console
// stop, a failed output or the translator's exit end it normally.
Status run_packet_loop(const PacketLoopInputs& inputs);

}  // namespace audio_host::win
