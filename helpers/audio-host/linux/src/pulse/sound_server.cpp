#include "pulse/sound_server.h"

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "pulse/stream_rules.h"

namespace audio_host::linux_host {
namespace {

using vantle::make_error;
using vantle::Result;
using vantle::Status;

constexpr const char* kClientName = "audio-host";

bool context_ended(pa_context_state_t state) {
  return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

// A one-shot monotonic deadline on a connection's loop.
class Deadline {
 public:
  Deadline(SoundServerConnection& connection, std::uint64_t timeout_usec)
      : event_({connection.api(),
                pa_context_rttime_new(connection.context(), pa_rtclock_now() + timeout_usec,
                                      &Deadline::fired, this)}) {}
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  bool passed() const { return passed_; }

 private:
  static void fired(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
    static_cast<Deadline*>(userdata)->passed_ = true;
  }
  UniqueTimeEvent event_;
  bool passed_ = false;
};

}  // namespace

std::string pulse_message(std::string_view context, int pulse_error) {
  std::string message(context);
  message += ": ";
  message += pa_strerror(pulse_error);
  message += " (pulse error ";
  message += std::to_string(pulse_error);
  message += ')';
  return message;
}

void disconnect_context(pa_context* context) {
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_set_subscribe_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}

void disconnect_stream(pa_stream* stream) {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_CREATING || state == PA_STREAM_READY) {
    (void)pa_stream_disconnect(stream);
  }
  pa_stream_unref(stream);
}

Result<std::unique_ptr<SoundServerConnection>> SoundServerConnection::connect(
    std::uint64_t timeout_usec) {
  constexpr const char* kContext = "connect to sound server";
  std::unique_ptr<SoundServerConnection> connection(new SoundServerConnection());
  connection->mainloop_.reset(pa_mainloop_new());
  if (!connection->mainloop_) {
    return make_error(pulse_message(kContext, PA_ERR_INTERNAL));
  }
  connection->context_.reset(pa_context_new(connection->api(), kClientName));
  if (!connection->context_) {
    return make_error(pulse_message(kContext, PA_ERR_INTERNAL));
  }
  pa_context* context = connection->context();
  pa_context_set_state_callback(context, &SoundServerConnection::context_state_changed,
                                connection.get());
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return make_error(pulse_message(kContext, pa_context_errno(context)));
  }
  if (Status ready = connection->iterate_until(
          [context] { return pa_context_get_state(context) == PA_CONTEXT_READY; }, timeout_usec,
          kContext);
      !ready) {
    return make_error(ready.error());
  }
  connection->ready_ = true;
  return connection;
}

SoundServerConnection::~SoundServerConnection() {
  context_.reset();
  mainloop_.reset();
}

void SoundServerConnection::context_state_changed(pa_context* context, void* userdata) {
  auto* self = static_cast<SoundServerConnection*>(userdata);
  if (self->ready_ && context_ended(pa_context_get_state(context))) {
    self->ready_ = false;
    if (self->lost_callback_ != nullptr) {
      self->lost_callback_(self->lost_userdata_);
    }
  }
}

Status SoundServerConnection::iterate_until(const std::function<bool()>& done,
                                            std::uint64_t timeout_usec, std::string_view context) {
  Deadline deadline(*this, timeout_usec);
  while (!done()) {
    const pa_context_state_t state = pa_context_get_state(context_.get());
    if (context_ended(state)) {
      const int code = pa_context_errno(context_.get());
      return make_error(pulse_message(context, code == PA_OK ? PA_ERR_CONNECTIONTERMINATED : code));
    }
    if (deadline.passed()) {
      return make_error(pulse_message(context, PA_ERR_TIMEOUT));
    }
    if (pa_mainloop_iterate(mainloop_.get(), 1, nullptr) < 0) {
      return make_error(pulse_message(context, PA_ERR_INTERNAL));
    }
  }
  return Status::success();
}

void SoundServerConnection::on_connection_lost(void (*callback)(void*), void* userdata) {
  lost_callback_ = callback;
  lost_userdata_ = userdata;
}

namespace {

// What the listing gathers from the two lists: the declared PIDs as the
// server wrote them (null when missing).
struct ListingState {
  std::map<std::uint32_t, std::optional<std::string>> client_pids;  // client index -> property
  struct Stream {
    std::uint32_t client = PA_INVALID_INDEX;
    std::optional<std::string> own_pid;
    bool corked = false;
  };
  std::vector<Stream> streams;
  int lists_done = 0;
  bool failed = false;
};

std::optional<std::string> declared_pid(const pa_proplist* properties) {
  const char* value = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

const char* c_str(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

void client_listed(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  auto* state = static_cast<ListingState*>(userdata);
  if (eol != 0) {
    state->failed |= eol < 0;
    ++state->lists_done;
    return;
  }
  state->client_pids[info->index] = declared_pid(info->proplist);
}

void stream_listed(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
  auto* state = static_cast<ListingState*>(userdata);
  if (eol != 0) {
    state->failed |= eol < 0;
    ++state->lists_done;
    return;
  }
  state->streams.push_back(
      ListingState::Stream{info->client, declared_pid(info->proplist), info->corked != 0});
}

}  // namespace

Result<bool> runs_on_pipewire(SoundServerConnection& connection) {
  constexpr const char* kContext = "sound server information";
  constexpr std::uint64_t kTimeoutUsec = 5'000'000;
  struct Answer {
    bool done = false;
    bool pipewire = false;
  } answer;
  pa_context* context = connection.context();
  const UniqueOperation asked(pa_context_get_server_info(
      context,
      [](pa_context*, const pa_server_info* info, void* userdata) {
        auto* answer = static_cast<Answer*>(userdata);
        answer->done = true;
        answer->pipewire = info != nullptr && info->server_name != nullptr &&
                           std::strstr(info->server_name, "PipeWire") != nullptr;
      },
      &answer));
  if (!asked) {
    return make_error(pulse_message(kContext, pa_context_errno(context)));
  }
  if (Status answered =
          connection.iterate_until([&] { return answer.done; }, kTimeoutUsec, kContext);
      !answered) {
    return make_error(answered.error());
  }
  return answer.pipewire;
}

Result<PlayingProcesses> list_playback_processes(SoundServerConnection& connection) {
  constexpr const char* kContext = "list playback streams";
  constexpr std::uint64_t kTimeoutUsec = 5'000'000;
  ListingState state;
  pa_context* context = connection.context();
  const UniqueOperation clients(pa_context_get_client_info_list(context, &client_listed, &state));
  const UniqueOperation streams(
      pa_context_get_sink_input_info_list(context, &stream_listed, &state));
  if (!clients || !streams) {
    return make_error(pulse_message(kContext, pa_context_errno(context)));
  }
  if (Status listed =
          connection.iterate_until([&] { return state.lists_done == 2; }, kTimeoutUsec, kContext);
      !listed) {
    return make_error(listed.error());
  }
  if (state.failed) {
    return make_error(pulse_message(kContext, pa_context_errno(context)));
  }
  PlayingProcesses processes;
  for (const ListingState::Stream& stream : state.streams) {
    const auto client = state.client_pids.find(stream.client);
    const std::optional<std::uint32_t> pid = stream_process_id(
        c_str(stream.own_pid), client != state.client_pids.end() ? c_str(client->second) : nullptr);
    if (pid) {
      processes[*pid] = processes[*pid] || !stream.corked;
    }
  }
  return processes;
}

}  // namespace audio_host::linux_host
