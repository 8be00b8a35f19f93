// The libpulse capture backend (PulseAudio, or PipeWire's PulseAudio
// service): one connection whose main loop, on the host's main thread, runs
// the whole capture: the member streams (stream_members.h), their monitors
// and mix (member_monitors.h), the mix's clock, and the stop sources: the
// stop signals, the translator's and the target's pidfds and the
// pipeline's output_failed flag.
//
// Threads: all of it on the main thread; the mix feeds the pipeline's
// producer there. The only state shared with the capture worker is the
// producer's queue and output_failed (an atomic the worker sets).
//
// Ownership: the backend owns the connection (context, then main loop),
// the members, the monitors and the loop events it added. stop() releases
// them: the monitors (their streams and connections), the members, the
// loop events, then the connection; all before the pipeline stops.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "pulse/capture_stopper.h"
#include "pulse/member_monitors.h"
#include "pulse/sink_latency.h"
#include "pulse/sound_server.h"
#include "pulse/stream_members.h"
#include "run.h"
#include "shared/owners.h"

namespace audio_host::linux_host {

class PulseBackend final : public CaptureBackend,
                           private CaptureStopper,
                           private StreamMembers::Listener {
 public:
  // `stop_signals` is the host's signalfd of the stop signals, opened by the
  // platform before run() (install_stop_sources).
  explicit PulseBackend(const UniqueFd& stop_signals) : stop_signals_(stop_signals) {}
  ~PulseBackend() override { stop(); }

  std::string_view name() const override { return "pulseaudio-stream-monitor"; }
  // Connects to the server. Error: "connect to sound server: ...".
  vantle::Status set_up(const CaptureSelection& selection) override;
  vantle::Status start() override { return vantle::Status::success(); }
  // Follows the streams, starts the mix's clock and runs the main loop until
  // a stop: a stop signal, the translator's end, output_failed (normal
  // ends), the selected process's end ("selected process exited"), the
  // connection lost ("sound server connection: ...") or a monitor that
  // cannot be set up ("monitor stream: ...").
  vantle::Status run(const CaptureLoopInputs& inputs) override;
  void stop() override;

  // The mix's timer period.
  static constexpr std::uint64_t kTickUsec = 5000;

 private:
  // CaptureStopper
  void stop(vantle::Status result) override;
  bool stopped() const override { return stopped_; }
  // StreamMembers::Listener
  void stream_appeared(std::uint32_t sink_input) override;
  void member_added(std::uint32_t sink_input, bool corked) override;
  void member_corked(std::uint32_t sink_input, bool corked) override;
  void member_removed(std::uint32_t sink_input) override;
  void stream_left_out(std::uint32_t sink_input) override;

  void watch(int fd, void (*callback)(PulseBackend*));
  void tick();
  static void fd_ready(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* userdata);
  static void timer_fired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata);
  static void server_event(pa_context*, pa_subscription_event_type_t type, std::uint32_t index,
                           void* userdata);
  static void connection_lost(void* userdata);

  const UniqueFd& stop_signals_;
  std::optional<CaptureSelection> selection_;
  const CaptureLoopInputs* inputs_ = nullptr;  // during run()
  bool stopped_ = false;
  vantle::Status result_;
  bool pipewire_ = false;  // PipeWire's PulseAudio service, not PulseAudio

  // Released by stop() in reverse order of declaration.
  std::unique_ptr<SoundServerConnection> connection_;
  std::unique_ptr<SinkLatencyHolders> holders_;
  struct Watched {
    PulseBackend* owner;
    int fd;
    void (*callback)(PulseBackend*);
  };
  std::vector<std::unique_ptr<Watched>> watched_;
  std::vector<UniqueIoEvent> io_events_;
  UniqueTimeEvent timer_;
  std::unique_ptr<MemberMonitors> monitors_;
  std::unique_ptr<StreamMembers> members_;
};

}  // namespace audio_host::linux_host
