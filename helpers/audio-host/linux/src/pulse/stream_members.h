// Which of the server's playback streams (sink inputs) the capture takes:
// the streams and their clients followed through the server's events, each
// stream decided once, when what it and its client declare is known
// (stream_rules.h), by the capture's process judge. A stream the server
// plays itself (no client: a module's) or one half of a filter (a
// "node.link-group", PipeWire's) that the judge would take is decided once
// what feeds it is known (shared/stream_feeds.h): the sinks and record
// streams of its module or group, listed from the server; one that carries
// other streams is never a member, and one that is leaves when a sink or a
// record stream of its module or group appears that makes it carry them.
//
// Threads: the host's main thread, inside the connection's main loop
// (libpulse's callbacks). Nothing is shared.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pulse/capture_stopper.h"
#include "pulse/sound_server.h"
#include "shared/process_judge.h"

namespace audio_host::linux_host {

class StreamMembers {
 public:
  // What becomes of the members, told from inside the loop.
  class Listener {
   public:
    // A new stream appeared and is not decided yet: its monitor may be
    // opened at once, so that its first fragments are there if it becomes
    // a member (the server renders them as soon as the stream plays).
    virtual void stream_appeared(std::uint32_t sink_input) = 0;
    // A stream was decided a member (it may be corked already).
    virtual void member_added(std::uint32_t sink_input, bool corked) = 0;
    virtual void member_corked(std::uint32_t sink_input, bool corked) = 0;
    // A member's stream has gone.
    virtual void member_removed(std::uint32_t sink_input) = 0;
    // A stream that appeared was decided not a member, or went before it
    // was decided.
    virtual void stream_left_out(std::uint32_t sink_input) = 0;

   protected:
    ~Listener() = default;
  };

  StreamMembers(SoundServerConnection& connection, const CaptureSelection& selection,
                Listener& listener, CaptureStopper& stopper);
  StreamMembers(const StreamMembers&) = delete;
  StreamMembers& operator=(const StreamMembers&) = delete;
  // Stops following (no more callbacks into this object).
  ~StreamMembers();

  // The server's events to follow, for the capture's subscription.
  static constexpr pa_subscription_mask_t kEvents = static_cast<pa_subscription_mask_t>(
      PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_CLIENT | PA_SUBSCRIPTION_MASK_SINK |
      PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT);
  // Lists the streams; the answers come through the loop. Error: "list
  // playback streams: ...".
  vantle::Status follow();
  // One of the server's events (the capture's subscription).
  void on_event(pa_subscription_event_type_t facility, pa_subscription_event_type_t kind,
                std::uint32_t index);

 private:
  struct SinkInput {
    std::uint32_t client = 0;
    std::optional<std::string> own_pid;  // application.process.id as declared
    bool corked = false;
    bool waiting_for_client = false;
    bool decided = false;
    bool captured = false;
    bool appeared = false;  // told as new (stream_appeared), not listed at the start
    // Played by the server (no client) or half of a filter: its module and
    // its link group, and whether it waits for what feeds it.
    bool fed = false;
    std::uint32_t module = PA_INVALID_INDEX;
    std::string group;
    bool waiting_for_feeds = false;
  };

  // The sinks, record streams and sources of the server as the feeds of a
  // stream are found (one listing for every stream that waits).
  struct FeedsListing {
    struct Owned {
      std::uint32_t module = PA_INVALID_INDEX;
      std::string group;
      std::uint32_t source = PA_INVALID_INDEX;  // a record stream's source
    };
    std::vector<Owned> sinks;
    std::vector<Owned> record_streams;
    std::map<std::uint32_t, bool> source_is_monitor;
    int lists_done = 0;
  };

  void on_sink_input(const pa_sink_input_info& info);
  void on_client(std::uint32_t index);
  void request_sink_input(std::uint32_t index);
  void request_client(std::uint32_t index);
  void decide(std::uint32_t index, SinkInput& entry);
  void request_feeds();
  void feeds_listed();
  bool carries_other_streams(const SinkInput& entry) const;
  void remove(std::uint32_t index);

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
  // The listing of feeds under way (null: none), and whether another is
  // wanted after it (a stream began to wait meanwhile).
  std::unique_ptr<FeedsListing> feeds_;
  bool feeds_again_ = false;
};

}  // namespace audio_host::linux_host
