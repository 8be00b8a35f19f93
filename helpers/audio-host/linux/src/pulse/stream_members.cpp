#include "pulse/stream_members.h"

#include <utility>

#include "pulse/stream_rules.h"
#include "shared/stream_feeds.h"

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

// PipeWire's filters and loopbacks give both their halves this property.
std::string link_group(const pa_proplist* properties) {
  const char* value = pa_proplist_gets(properties, "node.link-group");
  return value != nullptr ? value : "";
}

}  // namespace

StreamMembers::StreamMembers(SoundServerConnection& connection, const CaptureSelection& selection,
                             Listener& listener, CaptureStopper& stopper)
    : connection_(connection), judge_(selection), listener_(listener), stopper_(stopper) {}

StreamMembers::~StreamMembers() = default;

Status StreamMembers::follow() {
  pa_context* context = connection_.context();
  const UniqueOperation listed(
      pa_context_get_sink_input_info_list(context, &StreamMembers::sink_input_info, this));
  if (!listed) {
    return make_error(pulse_message("list playback streams", pa_context_errno(context)));
  }
  return Status::success();
}

void StreamMembers::on_event(pa_subscription_event_type_t facility,
                             pa_subscription_event_type_t kind, std::uint32_t index) {
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
    if (kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
      remove(index);
      return;
    }
    if (kind == PA_SUBSCRIPTION_EVENT_NEW && !sink_inputs_.contains(index) && !stopper_.stopped()) {
      sink_inputs_[index].appeared = true;
      listener_.stream_appeared(index);
    }
    request_sink_input(index);
  } else if (facility == PA_SUBSCRIPTION_EVENT_CLIENT && kind == PA_SUBSCRIPTION_EVENT_REMOVE) {
    client_pids_.erase(index);
  } else if ((facility == PA_SUBSCRIPTION_EVENT_SINK ||
              facility == PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT) &&
             kind == PA_SUBSCRIPTION_EVENT_NEW) {
    // A module's other half may come after its stream (PipeWire's service
    // makes them one by one): the fed members are looked at again.
    bool any = false;
    for (auto& [stream, entry] : sink_inputs_) {
      if (entry.fed && entry.captured) {
        entry.waiting_for_feeds = true;
        any = true;
      }
    }
    if (any) {
      request_feeds();
    }
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
  if (!entry.decided && !entry.waiting_for_client && !entry.waiting_for_feeds) {
    entry.client = info.client;
    entry.own_pid = declared_pid(info.proplist);
    entry.module = info.owner_module;
    entry.group = link_group(info.proplist);
    entry.fed = info.client == PA_INVALID_INDEX || !entry.group.empty();
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
  if (entry.fed && judge_.captured(pid)) {
    // Taken by its process (unknown, in system mode): what feeds it decides.
    entry.waiting_for_feeds = true;
    request_feeds();
    return;
  }
  entry.decided = true;
  entry.captured = judge_.captured(pid);
  if (entry.captured) {
    listener_.member_added(index, entry.corked);
  } else if (entry.appeared) {
    listener_.stream_left_out(index);
  }
}

void StreamMembers::request_feeds() {
  if (feeds_) {
    feeds_again_ = true;
    return;
  }
  feeds_ = std::make_unique<FeedsListing>();
  pa_context* context = connection_.context();
  // Each list's end counts; the last one decides (feeds_listed).
  const UniqueOperation sinks(pa_context_get_sink_info_list(
      context,
      [](pa_context*, const pa_sink_info* info, int eol, void* userdata) {
        auto* self = static_cast<StreamMembers*>(userdata);
        if (eol == 0) {
          self->feeds_->sinks.push_back({info->owner_module, link_group(info->proplist)});
        }
        if (eol != 0 && ++self->feeds_->lists_done == 3) {
          self->feeds_listed();
        }
      },
      this));
  const UniqueOperation outputs(pa_context_get_source_output_info_list(
      context,
      [](pa_context*, const pa_source_output_info* info, int eol, void* userdata) {
        auto* self = static_cast<StreamMembers*>(userdata);
        if (eol == 0) {
          self->feeds_->record_streams.push_back(
              {info->owner_module, link_group(info->proplist), info->source});
        }
        if (eol != 0 && ++self->feeds_->lists_done == 3) {
          self->feeds_listed();
        }
      },
      this));
  const UniqueOperation sources(pa_context_get_source_info_list(
      context,
      [](pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* self = static_cast<StreamMembers*>(userdata);
        if (eol == 0) {
          self->feeds_->source_is_monitor[info->index] = info->monitor_of_sink != PA_INVALID_INDEX;
        }
        if (eol != 0 && ++self->feeds_->lists_done == 3) {
          self->feeds_listed();
        }
      },
      this));
  if (!sinks || !outputs || !sources) {
    stopper_.stop(make_error(pulse_message("list sinks and sources", pa_context_errno(context))));
  }
}

bool StreamMembers::carries_other_streams(const SinkInput& entry) const {
  const auto same = [&](const FeedsListing::Owned& owned) {
    return (entry.module != PA_INVALID_INDEX && owned.module == entry.module) ||
           (!entry.group.empty() && owned.group == entry.group);
  };
  std::vector<StreamFeed> feeds;
  for (const FeedsListing::Owned& sink : feeds_->sinks) {
    if (same(sink)) {
      feeds.push_back(StreamFeed::sink_mix);
    }
  }
  for (const FeedsListing::Owned& record : feeds_->record_streams) {
    if (same(record)) {
      const auto source = feeds_->source_is_monitor.find(record.source);
      const bool monitor = source != feeds_->source_is_monitor.end() && source->second;
      feeds.push_back(monitor ? StreamFeed::sink_monitor : StreamFeed::capture_source);
    }
  }
  return linux_host::carries_other_streams(feeds);
}

void StreamMembers::feeds_listed() {
  for (auto& [index, entry] : sink_inputs_) {
    if (stopper_.stopped()) {
      break;
    }
    if (!entry.waiting_for_feeds) {
      continue;
    }
    entry.waiting_for_feeds = false;
    const bool captured = !carries_other_streams(entry);
    if (!entry.decided) {
      entry.decided = true;
      entry.captured = captured;
      if (captured) {
        listener_.member_added(index, entry.corked);
      } else if (entry.appeared) {
        listener_.stream_left_out(index);
      }
    } else if (entry.captured && !captured) {
      entry.captured = false;
      listener_.member_removed(index);
    }
  }
  feeds_.reset();
  if (std::exchange(feeds_again_, false)) {
    request_feeds();
  }
}

void StreamMembers::remove(std::uint32_t index) {
  const auto found = sink_inputs_.find(index);
  if (found == sink_inputs_.end()) {
    return;
  }
  if (found->second.captured) {
    listener_.member_removed(index);
  } else if (found->second.appeared && !found->second.decided) {
    listener_.stream_left_out(index);
  }
  sink_inputs_.erase(found);
}

}  // namespace audio_host::linux_host
