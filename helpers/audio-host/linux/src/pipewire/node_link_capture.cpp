#include "pipewire/node_link_capture.h"

#include <cerrno>
#include <string>

#include "shared/processes.h"
#include "shared/signals.h"

namespace audio_host::pipewire_host {
namespace {

using vantle::make_error;
using vantle::Status;

constexpr std::uint64_t kConnectTimeoutMs = 10'000;

}  // namespace

Status NodeLinkCapture::set_up(const CaptureSelection& selection) {
  judge_.emplace(selection);
  auto connected = PipeWireConnection::connect(kConnectTimeoutMs);
  if (!connected) {
    return std::move(connected).take_error();
  }
  connection_ = std::move(connected).value();
  connection_->on_lost(&NodeLinkCapture::connection_lost, this);
  auto follower = RegistryFollower::start(*connection_);
  if (!follower) {
    return std::move(follower).take_error();
  }
  follower_ = std::move(follower).value();
  return Status::success();
}

Status NodeLinkCapture::watch(int fd, void (*callback)(NodeLinkCapture*)) {
  if (fd < 0) {
    return Status::success();
  }
  watched_.push_back(std::make_unique<Watched>(Watched{this, fd, callback}));
  pw_loop* loop = connection_->loop();
  spa_source* source =
      pw_loop_add_io(loop, fd, SPA_IO_IN, false, &NodeLinkCapture::fd_ready, watched_.back().get());
  if (source == nullptr) {
    return make_error(linux_host::os_error_message("watch stop sources", errno));
  }
  sources_.emplace_back(LoopSource::Value{loop, source});
  return Status::success();
}

void NodeLinkCapture::fd_ready(void* userdata, int, std::uint32_t) {
  const auto* watched = static_cast<Watched*>(userdata);
  watched->callback(watched->owner);
}

Status NodeLinkCapture::run(const CaptureLoopInputs& inputs) {
  if (Status signals = watch(stop_signals_.get(),
                             [](NodeLinkCapture* self) {
                               if (linux_host::read_stop_signal(self->stop_signals_.get())) {
                                 self->finish(Status::success());
                               }
                             });
      !signals) {
    return signals;
  }
  if (Status translator = watch(inputs.translator.handle(),
                                [](NodeLinkCapture* self) { self->finish(Status::success()); });
      !translator) {
    return translator;
  }
  if (inputs.selected != nullptr) {
    if (Status target = watch(
            inputs.selected->handle(),
            [](NodeLinkCapture* self) { self->finish(make_error("selected process exited")); });
        !target) {
      return target;
    }
  }
  pw_loop* main_loop = connection_->loop();
  spa_source* event = pw_loop_add_event(main_loop, &NodeLinkCapture::output_failed, this);
  if (event == nullptr) {
    return make_error(linux_host::os_error_message("capture stream", errno));
  }
  sources_.emplace_back(LoopSource::Value{main_loop, event});
  CaptureFeed feed;
  feed.producer = &inputs.producer;
  feed.output_failed = &inputs.output_failed;
  feed.main_loop = main_loop;
  feed.output_failed_event = event;
  auto stream =
      CaptureStream::start(connection_->core(), feed, &NodeLinkCapture::stream_state, this);
  if (!stream) {
    return std::move(stream).take_error();
  }
  stream_ = std::move(stream).value();

  while (!finished_) {
    if (Status waited = connection_->iterate("sound server connection", -1); !waited) {
      finish(std::move(waited));
    }
    if (!finished_) {
      after_events();
    }
  }
  return result_;
}

void NodeLinkCapture::finish(Status result) {
  if (finished_) {
    return;
  }
  finished_ = true;
  result_ = std::move(result);
}

void NodeLinkCapture::stop() {
  links_.clear();
  stream_.reset();
  follower_.reset();
  sources_.clear();
  watched_.clear();
  connection_.reset();
}

void NodeLinkCapture::connection_lost(void* userdata) {
  auto* self = static_cast<NodeLinkCapture*>(userdata);
  self->finish(
      make_error(pipewire_message("sound server connection", self->connection_->lost_text())));
}

void NodeLinkCapture::stream_state(void* userdata, pw_stream_state state, const char* error) {
  auto* self = static_cast<NodeLinkCapture*>(userdata);
  if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
    if (self->stream_ && self->stream_->node_id() != PW_ID_ANY) {
      self->follower_->members().set_capture_node(self->stream_->node_id());
    }
  } else if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
    if (self->connection_->lost()) {
      connection_lost(self);
    } else {
      self->finish(make_error(pipewire_message(
          "capture stream", error != nullptr && error[0] != '\0' ? error : "disconnected")));
    }
  }
}

void NodeLinkCapture::output_failed(void* userdata, std::uint64_t) {
  static_cast<NodeLinkCapture*>(userdata)->finish(Status::success());  // the reader went away
}

void NodeLinkCapture::after_events() {
  GraphMembers& members = follower_->members();
  if (!members.take_changed() && !links_changed_) {
    return;
  }
  links_changed_ = false;
  for (const PendingDecision& pending : members.pending_decisions()) {
    // A stream that carries other streams is never captured, whoever it
    // belongs to: those streams are captured where they are, if at all.
    members.decide(pending, !pending.carries_other_streams && judge_->captured(pending.pid));
  }
  (void)members.take_changed();  // the decisions are taken into account below
  reconcile_links();
}

void NodeLinkCapture::reconcile_links() {
  const std::vector<WantedLink> wanted = follower_->members().wanted_links();
  // Links no longer wanted go (the server removes them with their proxy);
  // dead proxies are released.
  std::size_t next = 0;
  for (auto it = links_.begin(); it != links_.end();) {
    while (next < wanted.size() && wanted[next].key() < it->first) {
      ++next;
    }
    const bool still_wanted = next < wanted.size() && wanted[next].key() == it->first;
    if (!still_wanted) {
      it = links_.erase(it);
      continue;
    }
    OurLink& link = *it->second;
    if (link.state != OurLink::State::creating && link.state != OurLink::State::made) {
      // Refused, already there, or removed by the server: not made again
      // while the same ports are wanted; the proxy is of no more use.
      link.listener.reset();
      link.proxy.reset();
    }
    ++it;
  }
  for (const WantedLink& link : wanted) {
    if (!links_.contains(link.key())) {
      create_link(link);
    }
  }
}

void NodeLinkCapture::create_link(const WantedLink& wanted) {
  auto link = std::make_unique<OurLink>();
  link->owner = this;
  const std::string output_node = std::to_string(wanted.output_node);
  const std::string output_port = std::to_string(wanted.output_port);
  const std::string input_node = std::to_string(wanted.input_node);
  const std::string input_port = std::to_string(wanted.input_port);
  const UniqueProperties properties(pw_properties_new(
      PW_KEY_LINK_OUTPUT_NODE, output_node.c_str(), PW_KEY_LINK_OUTPUT_PORT, output_port.c_str(),
      PW_KEY_LINK_INPUT_NODE, input_node.c_str(), PW_KEY_LINK_INPUT_PORT, input_port.c_str(),
      PW_KEY_OBJECT_LINGER, "false", nullptr));
  if (properties) {
    link->proxy.reset(static_cast<pw_proxy*>(
        pw_core_create_object(connection_->core(), "link-factory", PW_TYPE_INTERFACE_Link,
                              PW_VERSION_LINK, &properties.get()->dict, 0)));
  }
  if (!link->proxy) {
    link->state = OurLink::State::failed;
  } else {
    static const pw_proxy_events kEvents = [] {
      pw_proxy_events events{};
      events.version = PW_VERSION_PROXY_EVENTS;
      events.bound = &NodeLinkCapture::link_bound;
      events.removed = &NodeLinkCapture::link_removed;
      events.error = &NodeLinkCapture::link_error;
      return events;
    }();
    pw_proxy_add_listener(link->proxy.get(), link->listener.get(), &kEvents, link.get());
  }
  links_[wanted.key()] = std::move(link);
}

void NodeLinkCapture::link_bound(void* userdata, std::uint32_t) {
  auto* link = static_cast<OurLink*>(userdata);
  if (link->state == OurLink::State::creating) {
    link->state = OurLink::State::made;
  }
}

void NodeLinkCapture::link_removed(void* userdata) {
  auto* link = static_cast<OurLink*>(userdata);
  if (link->state == OurLink::State::creating || link->state == OurLink::State::made) {
    link->state = OurLink::State::removed;
  }
  link->owner->links_changed_ = true;
}

void NodeLinkCapture::link_error(void* userdata, int, int res, const char*) {
  auto* link = static_cast<OurLink*>(userdata);
  link->state = res == -EEXIST ? OurLink::State::already_there : OurLink::State::failed;
  link->owner->links_changed_ = true;
}

}  // namespace audio_host::pipewire_host
