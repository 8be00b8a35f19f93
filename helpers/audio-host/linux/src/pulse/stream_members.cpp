#include "pulse/stream_members.h"

#include "pulse/stream_rules.h"

namespace audio_host::linux_host {
namespace {

using vantle::make_error;
using vantle::Status;

std::optional<std::string> declared_pid(const pa_proplist* properties) {
  const char* value = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

const char* c_str(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

StreamMembers::StreamMembers(SoundServerConnection& connection, const CaptureSelection& selection,
                             Listener& listener, CaptureStopper& stopper)
    : connection_(connection), judge_(selection), listener_(listener), stopper_(stopper) {}

StreamMembers::~StreamMembers() {
  pa_context_set_subscribe_callback(connection_.context(), nullptr, nullptr);
}

Status StreamMembers::follow() {
  pa_context* context = connection_.context();
  pa_context_set_subscribe_callback(context, &StreamMembers::subscription_event, this);
  const UniqueOperation subscribed(pa_context_subscribe(
      context,
      static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT |
                                          PA_SUBSCRIPTION_MASK_CLIENT),
      [](pa_context* c, int success, void* userdata) {
        if (success == 0) {
          static_cast<StreamMembers*>(userdata)->stopper_.stop(
              make_error(pulse_message("subscribe to sound server events", pa_context_errno(c))));
        }
      },
      this));
  if (!subscribed) {
    return make_error(pulse_message("subscribe to sound server events", pa_context_errno(context)));
  }
  const UniqueOperation listed(
      pa_context_get_sink_input_info_list(context, &StreamMembers::sink_input_info, this));
  if (!listed) {
    return make_error(pulse_message("list playback streams", pa_context_errno(context)));
  }
  return Status::success();
}

void StreamMembers::subscription_event(pa_context*, pa_subscription_event_type_t type,
                                       std::uint32_t index, void* userdata) {
  auto* self = static_cast<StreamMembers*>(userdata);
  const unsigned facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
  const unsigned kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      self->remove(index);
    } else {
      self->request_sink_input(index);
    }
  } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT && kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    self->client_pids_.erase(index);
  }
}

void StreamMembers::request_sink_input(std::uint32_t index) {
  // Only the reference goes; the request is answered by sink_input_info.
  (void)UniqueOperation(pa_context_get_sink_input_info(connection_.context(), index,
                                                       &StreamMembers::sink_input_info, this));
}

void StreamMembers::sink_input_info(pa_context*, const pa_sink_input_info* info, int eol,
                                    void* userdata) {
  // eol < 0: the stream went before its information was read; its removal
  // event follows.
  if (eol == 0 && info != nullptr) {
    static_cast<StreamMembers*>(userdata)->on_sink_input(*info);
  }
}

void StreamMembers::on_sink_input(const pa_sink_input_info& info) {
  if (stopper_.stopped()) {
    return;
  }
  SinkInput& entry = sink_inputs_[info.index];
  const bool corked = info.corked != 0;
  const bool cork_changed = entry.decided && entry.corked != corked;
  entry.corked = corked;
  if (!entry.decided && !entry.waiting_for_client) {
    entry.client = info.client;
    entry.own_pid = declared_pid(info.proplist);
    // The client's PID counts only when the stream declares none
    // (stream_process_id): then it is asked for, once per client. Deciding
    // without that round trip keeps a new stream's first fragments: the
    // server renders them as soon as the stream plays.
    if (stream_process_id(c_str(entry.own_pid), nullptr) || info.client == PA_INVALID_INDEX ||
        client_pids_.contains(info.client)) {
      decide(info.index, entry);
    } else {
      entry.waiting_for_client = true;
      request_client(info.client);
    }
  } else if (cork_changed && entry.captured) {
    listener_.member_corked(info.index, corked);
  }
}

void StreamMembers::request_client(std::uint32_t index) {
  if (client_requests_.contains(index)) {
    return;
  }
  auto& request = client_requests_[index];
  request = {this, index};
  const UniqueOperation operation(pa_context_get_client_info(
      connection_.context(), index, &StreamMembers::client_info, &request));
  if (!operation) {
    client_requests_.erase(index);
    client_pids_[index] = std::nullopt;
    on_client(index);
  }
}

void StreamMembers::client_info(pa_context*, const pa_client_info* info, int eol, void* userdata) {
  const auto [self, index] = *static_cast<std::pair<StreamMembers*, std::uint32_t>*>(userdata);
  if (eol == 0 && info != nullptr) {
    self->client_pids_[index] = declared_pid(info->proplist);
    return;  // the end-of-list call follows
  }
  self->client_requests_.erase(index);
  self->client_pids_.try_emplace(index, std::nullopt);  // gone before it was read
  self->on_client(index);
}

void StreamMembers::on_client(std::uint32_t index) {
  for (auto& [stream, entry] : sink_inputs_) {
    if (stopper_.stopped()) {
      return;
    }
    if (entry.waiting_for_client && entry.client == index) {
      decide(stream, entry);
    }
  }
}

void StreamMembers::decide(std::uint32_t index, SinkInput& entry) {
  const auto client = client_pids_.find(entry.client);
  const std::optional<std::uint32_t> pid = stream_process_id(
      c_str(entry.own_pid), client != client_pids_.end() ? c_str(client->second) : nullptr);
  entry.waiting_for_client = false;
  entry.decided = true;
  entry.captured = judge_.captured(pid);
  if (entry.captured) {
    listener_.member_added(index, entry.corked);
  }
}

void StreamMembers::remove(std::uint32_t index) {
  const auto found = sink_inputs_.find(index);
  if (found == sink_inputs_.end()) {
    return;
  }
  if (found->second.captured) {
    listener_.member_removed(index);
  }
  sink_inputs_.erase(found);
}

}  // namespace audio_host::linux_host
