// The capture itself: the member streams followed on the sound server, one
// monitor record stream per member, the mix on one clock, and the stop
// sources, all run by the connection's main loop on the host's main thread.
//
// Threads: everything here runs on the main thread, inside the main loop
// (libpulse's callbacks, the mixer's timer, the watched file descriptors).
// The only things shared with the capture worker are the pipeline's
// producer (its lock-free queue, which the mix feeds) and `output_failed`,
// an atomic flag the worker sets and the timer reads.
//
// Ownership: a StreamCapture owns its monitor streams, the connection each
// has of its own, their jitter buffers, the mixer and the loop events it
// added; it releases them (each stream before its connection) when it goes,
// which must be before the main connection's context and main loop are
// released.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "mixer.h"
#include "native/sound_server.h"
#include "process_rules.h"
#include "result.h"
#include "stream_rules.h"

namespace audio_host::linux_host {

struct StreamCaptureInputs {
  SoundServerConnection* connection = nullptr;
  CaptureSelection selection;
  // The run's process table, rebuilt here when a stream's process is not
  // in it.
  ProcessTable* table = nullptr;
  vantle_audio::CaptureProducer* producer = nullptr;  // where the mix goes
  const std::atomic<bool>* output_failed = nullptr;
  int stop_signal_fd = -1;    // the stop signals: a normal end
  int translator_pidfd = -1;  // readable once the translator ended: a normal end
  int target_pidfd = -1;      // -1 for a system capture; readable: "selected process exited"
};

// Drops a monitor stream: no more callbacks, disconnected if it was
// connecting or connected, then unreferenced.
void disconnect_stream(pa_stream* stream);

class StreamCapture {
 public:
  explicit StreamCapture(const StreamCaptureInputs& inputs);
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;
  ~StreamCapture();

  // Subscribes to the server's stream and client events, lists the streams,
  // starts the mix's clock and runs the main loop until a stop: a stop
  // signal, the translator's end, `output_failed` (all normal ends), the
  // selected process's end ("selected process exited"), the connection lost
  // ("sound server connection: ...") or a monitor that cannot be set up
  // ("monitor stream: ...").
  vantle::Status run();

  // Mix timer period.
  static constexpr std::uint64_t kTickUsec = 5000;

 private:
  // A member's monitor stream. On PipeWire's PulseAudio service each has a
  // server connection of its own: the service delivers the record data of
  // several streams on one connection in bursts hundreds of milliseconds
  // apart, longer than the jitter buffers hold, and one stream per
  // connection every fragment. On PulseAudio they share the main
  // connection, which delivers each every fragment, and each connection
  // would map a memory pool of its own (about 3 MiB resident each).
  struct Monitor {
    StreamCapture* owner = nullptr;
    std::uint32_t sink_input = 0;
    // Its own connection (PipeWire's service), released after the stream.
    UniquePointer<pa_context, &disconnect_context> context;
    UniquePointer<pa_stream, &disconnect_stream> stream;
    MemberBuffer buffer;
    std::uint64_t opened_ns = 0;
    bool failed = false;
    std::uint64_t failed_ns = 0;
    unsigned failures_in_row = 0;
    bool had_data = false;
    explicit Monitor(const MixerLimits& limits) : buffer(limits) {}
  };
  enum class Decision { undecided, waiting_for_client, decided };
  struct SinkInput {
    std::uint32_t client = 0;
    bool corked = false;
    Decision decision = Decision::undecided;
    bool captured = false;
    std::unique_ptr<Monitor> monitor;
  };

  void stop(vantle::Status result);
  bool stopped() const { return stopped_; }
  void watch(int fd, void (*callback)(StreamCapture*));
  void on_sink_input(const pa_sink_input_info& info);
  void on_client(std::uint32_t index, std::optional<std::uint32_t> pid);
  void request_sink_input(std::uint32_t index);
  void request_client(std::uint32_t index);
  void decide(SinkInput& entry, std::uint32_t index, std::optional<std::uint32_t> pid);
  void remove_sink_input(std::uint32_t index);
  void release_drained_monitors();
  void open_monitor(Monitor& monitor);
  void connect_monitor_stream(Monitor& monitor);
  static void mark_failed(Monitor& monitor);
  void maintain_monitors(std::uint64_t now_ns);
  void tick();

  static void subscription_event(pa_context*, pa_subscription_event_type_t type,
                                 std::uint32_t index, void* userdata);
  static void sink_input_info(pa_context*, const pa_sink_input_info* info, int eol, void* userdata);
  static void client_info(pa_context*, const pa_client_info* info, int eol, void* userdata);
  static void server_info(pa_context*, const pa_server_info* info, void* userdata);
  static void monitor_context_state(pa_context* context, void* userdata);
  static void monitor_state(pa_stream* stream, void* userdata);
  static void monitor_read(pa_stream* stream, std::size_t bytes, void* userdata);
  static void timer_fired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata);
  static void fd_ready(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* userdata);
  static void connection_lost(void* userdata);

  StreamCaptureInputs in_;
  MixerLimits limits_;
  Mixer mixer_;
  std::map<std::uint32_t, SinkInput> sink_inputs_;
  // Monitors of streams that have gone, without their stream and
  // connection, whose buffers still play out what they hold; each leaves
  // the mix once it has drained.
  std::vector<std::unique_ptr<Monitor>> ending_;
  std::map<std::uint32_t, std::optional<std::uint32_t>> client_pids_;
  // Client info asked for and not yet answered, by client index.
  std::map<std::uint32_t, std::pair<StreamCapture*, std::uint32_t>> client_requests_;
  struct Watched {
    StreamCapture* owner;
    int fd;
    void (*callback)(StreamCapture*);
  };
  std::vector<std::unique_ptr<Watched>> watched_;
  // Loop events, freed by the destructor (after the streams).
  std::vector<UniqueIoEvent> io_events_;
  UniqueTimeEvent timer_;
  bool stopped_ = false;
  bool monitor_connections_ = false;  // one connection per monitor stream
  vantle::Status result_;
};

}  // namespace audio_host::linux_host
