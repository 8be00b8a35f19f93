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

#include "capture.h"
#include "native/owners.h"
#include "process_identity.h"
#include "result.h"
#include "stream_format.h"

namespace audio_host::win {

using vantle::Status;

// The initialised audio client and what belongs to it, declared in the
// order of acquisition (released in reverse by scope; after a capture
// stop_capture_stream() releases the audio client first).
struct CaptureStream {
  ComPtr<IAudioClient> audio_client;
  ComPtr<IAudioCaptureClient> capture_client;
  EventHandle capture_event;  // auto-reset, signalled by the audio system
  std::uint32_t buffer_frames = 0;
};

// Initialises `audio_client` for event-driven shared loopback capture in the
// capture format and builds the stream around it. On an error, whatever was
// created is released, the audio client last.
vantle::Result<CaptureStream> open_capture_stream(ComPtr<IAudioClient> audio_client);

// IAudioClient::Start.
Status start_capture_stream(CaptureStream& stream);

// IAudioClient::Stop (its failure ignored), then the audio client's release.
void stop_capture_stream(CaptureStream& stream);

struct PacketLoopInputs {
  const std::atomic<bool>& stop_requested;
  const std::atomic<bool>& output_failed;
  const ProcessIdentity& translator;
  const ProcessIdentity* selected;  // null for a system capture
  CaptureStream& stream;
  vantle_audio::CaptureProducer& producer;
};

// Reads packets into the producer until a stop condition holds: a console
// stop, a failed output or the translator's exit end it normally, the
// selected process's exit with "selected process exited". Per packet: a
// discontinuity is marked first, a silent packet becomes push_silence, any
// other push_samples (which copies), and the packet is released.
Status run_packet_loop(const PacketLoopInputs& inputs);

}  // namespace audio_host::win
