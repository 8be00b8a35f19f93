// The native PipeWire capture backend ("pipewire-node-links"): the graph
// mixes the selected applications into one capture stream. The host follows
// the registry, decides each playback node by the process the server
// vouches for (node_rules.h), links every member's output ports to the
// capture stream's inputs and unlinks a node that leaves the selection; the
// stream's process callback hands the mix to the capture pipeline.
//
// Links are made with the link factory, one per output port and input
// port (matched by "audio.channel", mono to both), with object.linger=false
// so that they belong to the host's client and end with it. A link the
// factory refuses as existing ("File exists") is already there and is left
// alone; the host never touches links it did not make, nor the session
// manager's metadata.
//
// Stops: a stop signal (the platform's signalfd), the translator's end and
// `output_failed` end the capture normally; the selected process's end is
// "selected process exited"; the server's end is "sound server connection:
// <its text>".
//
// Threads: everything here runs on the host's main thread, in the
// connection's loop, except the capture stream's process callback
// (capture_stream.h), which runs on PipeWire's data thread and shares only
// the producer (which it alone uses) and `output_failed` (read only).
//
// Ownership: the capture owns the connection, the registry follower, the
// capture stream, its links and its loop sources. stop() releases the links,
// the stream, the follower, the sources and then the connection; the run
// sequence calls it before it stops the pipeline.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "capture.h"
#include "pipewire/capture_stream.h"
#include "pipewire/connection.h"
#include "pipewire/registry_follower.h"
#include "process_rules.h"
#include "result.h"
#include "run.h"
#include "shared/owners.h"
#include "shared/process_judge.h"

namespace audio_host::pipewire_host {

class NodeLinkCapture final : public CaptureBackend {
 public:
  static constexpr std::string_view kBackendName = "pipewire-node-links";

  // `stop_signals` is the host's signalfd of the stop signals, opened by the
  // platform before run() (install_stop_sources).
  explicit NodeLinkCapture(const linux_host::UniqueFd& stop_signals)
      : stop_signals_(stop_signals) {}
  NodeLinkCapture(const NodeLinkCapture&) = delete;
  NodeLinkCapture& operator=(const NodeLinkCapture&) = delete;
  ~NodeLinkCapture() override { stop(); }

  std::string_view name() const override { return kBackendName; }

  // Connects to the server and starts following its registry. Errors:
  // "connect to sound server: ...", "sound server registry: ...".
  vantle::Status set_up(const CaptureSelection& selection) override;
  vantle::Status start() override { return vantle::Status::success(); }
  // Watches the stop sources, creates the capture stream, which feeds
  // `inputs.producer` from then on, and runs the loop until a stop; the
  // stop's result. Error: "capture stream: ...".
  vantle::Status run(const CaptureLoopInputs& inputs) override;
  // Releases the links, the stream, the follower, the loop sources and the
  // connection, in that order. Idempotent.
  void stop() override;

 private:
  // One link of ours. A proxy whose link was refused or removed is
  // released at the next pass over the links.
  struct OurLink {
    enum class State { creating, made, already_there, failed, removed };
    NodeLinkCapture* owner = nullptr;
    State state = State::creating;
    // Released in reverse: the listener, then the proxy.
    UniqueProxy proxy;
    Listener listener;
  };
  using LinkKey = std::pair<std::uint64_t, std::uint64_t>;

  void finish(vantle::Status result);
  vantle::Status watch(int fd, void (*callback)(NodeLinkCapture*));
  // After the loop dispatched events: decides what is pending and brings
  // the links to what the members want.
  void after_events();
  void reconcile_links();
  void create_link(const WantedLink& wanted);

  static void connection_lost(void* userdata);
  static void stream_state(void* userdata, pw_stream_state state, const char* error);
  static void fd_ready(void* userdata, int fd, std::uint32_t mask);
  static void output_failed(void* userdata, std::uint64_t count);
  static void link_error(void* userdata, int seq, int res, const char* message);
  static void link_removed(void* userdata);
  static void link_bound(void* userdata, std::uint32_t global_id);

  const linux_host::UniqueFd& stop_signals_;
  // The one place a node's process is judged (shared/process_judge.h).
  std::optional<linux_host::ProcessJudge> judge_;
  bool finished_ = false;
  vantle::Status result_;
  bool links_changed_ = false;
  struct Watched {
    NodeLinkCapture* owner;
    int fd;
    void (*callback)(NodeLinkCapture*);
  };
  // Released by stop() in reverse of acquisition: the links first, the
  // connection last.
  std::unique_ptr<PipeWireConnection> connection_;
  std::vector<std::unique_ptr<Watched>> watched_;
  std::vector<LoopSource> sources_;
  std::unique_ptr<RegistryFollower> follower_;
  std::unique_ptr<CaptureStream> stream_;
  std::map<LinkKey, std::unique_ptr<OurLink>> links_;
};

}  // namespace audio_host::pipewire_host
