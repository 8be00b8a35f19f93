// Which of the server's playback streams (sink inputs) the capture takes:
// the streams and their clients followed through the server's events, each
// stream decided once, when what it and its client declare is known
// (stream_rules.h), by the capture's process judge.
//
// Threads: the host's main thread, inside the connection's main loop
// (libpulse's callbacks). Nothing is shared.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "pulse/capture_stopper.h"
#include "pulse/sound_server.h"
#include "shared/process_judge.h"

namespace audio_host::linux_host {

class StreamMembers {
 public:
  // What becomes of the members, told from inside the loop.
  class Listener {
   public:
    // A stream was decided a member (it may be corked already).
    virtual void member_added(std::uint32_t sink_input, bool corked) = 0;
    virtual void member_corked(std::uint32_t sink_input, bool corked) = 0;
    // A member's stream has gone.
    virtual void member_removed(std::uint32_t sink_input) = 0;

   protected:
    ~Listener() = default;
  };

  StreamMembers(SoundServerConnection& connection, const CaptureSelection& selection,
                Listener& listener, CaptureStopper& stopper);
  StreamMembers(const StreamMembers&) = delete;
  StreamMembers& operator=(const StreamMembers&) = delete;
  // Stops following (no more callbacks into this object).
  ~StreamMembers();

  // Subscribes to the server's stream and client events and lists the
  // streams; the answers come through the loop. Errors: "subscribe to sound
  // server events: ...", "list playback streams: ...".
  vantle::Status follow();

 private:
  struct SinkInput {
    std::uint32_t client = 0;
    std::optional<std::string> own_pid;  // application.process.id as declared
    bool corked = false;
    bool waiting_for_client = false;
    bool decided = false;
    bool captured = false;
  };

  void on_sink_input(const pa_sink_input_info& info);
  void on_client(std::uint32_t index);
  void request_sink_input(std::uint32_t index);
  void request_client(std::uint32_t index);
  void decide(std::uint32_t index, SinkInput& entry);
  void remove(std::uint32_t index);

  static void subscription_event(pa_context*, pa_subscription_event_type_t type,
                                 std::uint32_t index, void* userdata);
  static void sink_input_info(pa_context*, const pa_sink_input_info* info, int eol, void* userdata);
  static void client_info(pa_context*, const pa_client_info* info, int eol, void* userdata);

  SoundServerConnection& connection_;
  ProcessJudge judge_;
  Listener& listener_;
  CaptureStopper& stopper_;
  std::map<std::uint32_t, SinkInput> sink_inputs_;
  // application.process.id of the clients known so far (nullopt: none).
  std::map<std::uint32_t, std::optional<std::string>> client_pids_;
  // Client info asked for and not yet answered, by client index.
  std::map<std::uint32_t, std::pair<StreamMembers*, std::uint32_t>> client_requests_;
};

}  // namespace audio_host::linux_host
