// The capture stream: one input pw_stream, interleaved float stereo at
// 48000 Hz, not autoconnected (the host links what it captures itself),
// processed every cycle even while nothing is linked (node.always-process:
// the PCM stays continuous with silence), and asking for no latency, so
// that the graph keeps the quantum its other nodes ask for.
//
// Threads: the stream is created, started and destroyed on the main thread,
// where its state events arrive. Its process callback runs on PipeWire's
// data thread (PW_STREAM_FLAG_RT_PROCESS); it alone uses the feed (the
// pipeline's producer) and the cycle gap count once the stream is started:
// it takes the cycle's buffer, hands the samples to the producer, fills the
// cycles that never reached the stream with silence, and, once it sees
// `output_failed`, signals the main loop's event (one eventfd write, once).
// It allocates nothing and takes no lock. The feed and the stream it
// dequeues from are published to it with a release store before the stream
// connects; it never reads the owner (`stream_`), which the main thread
// clears before pw_stream_destroy() has stopped the callbacks.
//
// Ownership: the stream owns the pw_stream and its listener; destroying it
// (on the main thread) disconnects the node from the data thread before
// it returns, so the producer may go afterwards, not before.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "capture.h"
#include "pipewire/cycle_gaps.h"
#include "pipewire/owners.h"
#include "result.h"

namespace audio_host::pipewire_host {

// What the process callback feeds and tells.
struct CaptureFeed {
  vantle_audio::CaptureProducer* producer = nullptr;
  const std::atomic<bool>* output_failed = nullptr;
  pw_loop* main_loop = nullptr;  // where `output_failed_event` is
  spa_source* output_failed_event = nullptr;
};

class CaptureStream {
 public:
  // Called on the main thread when the stream's state changes: `error` is
  // the server's text when it failed, else null.
  using StateCallback = void (*)(void* userdata, pw_stream_state state, const char* error);

  // Creates the stream on `core` and connects it; it is processed from then
  // on. Error: "capture stream: ...".
  static vantle::Result<std::unique_ptr<CaptureStream>> start(pw_core* core,
                                                              const CaptureFeed& feed,
                                                              StateCallback on_state,
                                                              void* userdata);

  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;
  ~CaptureStream();

  // The stream's node in the graph, once it is paused or streaming
  // (PW_ID_ANY before).
  std::uint32_t node_id() const;

  // The largest gap filled with silence: a minute of the graph's clock (a
  // run of silence takes one slot of the frame queue however long it is);
  // beyond it frames are counted as dropped, so that a host stopped for
  // long does not flood its reader with silence.
  static constexpr std::uint64_t kMaxGapFillFrames = 60 * 48000;

 private:
  // What the process callback uses, fixed before the stream connects.
  struct Processing {
    CaptureFeed feed;
    pw_stream* stream = nullptr;
  };

  explicit CaptureStream(const CaptureFeed& feed);
  static void state_changed(void* userdata, pw_stream_state old, pw_stream_state state,
                            const char* error);
  static void process(void* userdata);
  void deliver(const Processing& processing, const spa_buffer& buffer);

  Processing processing_;
  std::atomic<const Processing*> published_{nullptr};
  StateCallback on_state_ = nullptr;
  void* userdata_ = nullptr;
  // The data thread's own state.
  CycleGaps gaps_;
  bool failure_signalled_ = false;
  // Released in reverse: the listener, then the stream.
  UniqueStream stream_;
  Listener listener_;
};

}  // namespace audio_host::pipewire_host
