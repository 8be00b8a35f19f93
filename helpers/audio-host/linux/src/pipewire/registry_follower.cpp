#include "pipewire/registry_follower.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "pipewire/node_rules.h"
#include "shared/process_property.h"
#include "shared/processes.h"

namespace audio_host::pipewire_host {
namespace {

using vantle::make_error;

constexpr std::string_view kPlaybackClass = "Stream/Output/Audio";
// The other classes a node of a link group may have (node_rules.h).
constexpr std::string_view kSinkClass = "Audio/Sink";
constexpr std::string_view kCaptureClass = "Stream/Input/Audio";

std::optional<std::uint64_t> parse_serial(const char* value) {
  if (value == nullptr) {
    return std::nullopt;
  }
  const char* end = value + std::strlen(value);
  std::uint64_t number = 0;
  const auto [stop, error] = std::from_chars(value, end, number);
  if (value == end || error != std::errc() || stop != end) {
    return std::nullopt;
  }
  return number;
}

const char* lookup(const spa_dict* props, const char* key) {
  return props != nullptr ? spa_dict_lookup(props, key) : nullptr;
}

}  // namespace

bool is_pipewire_daemon_process(std::uint32_t pid) {
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  char target[4096];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
    return false;
  }
  return is_pipewire_daemon_executable(std::string_view(target, static_cast<std::size_t>(length)));
}

vantle::Result<std::unique_ptr<RegistryFollower>> RegistryFollower::start(
    PipeWireConnection& connection) {
  std::unique_ptr<RegistryFollower> follower(new RegistryFollower());
  follower->registry_.reset(
      reinterpret_cast<pw_proxy*>(pw_core_get_registry(connection.core(), PW_VERSION_REGISTRY, 0)));
  if (!follower->registry_) {
    return make_error(linux_host::os_error_message("sound server registry", errno));
  }
  static const pw_registry_events kEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &RegistryFollower::global_added;
    events.global_remove = &RegistryFollower::global_removed;
    return events;
  }();
  pw_registry_add_listener(reinterpret_cast<pw_registry*>(follower->registry_.get()),
                           follower->registry_listener_.get(), &kEvents, follower.get());
  return follower;
}

RegistryFollower::~RegistryFollower() {
  nodes_.clear();
  clients_.clear();
  registry_listener_.reset();
  registry_.reset();
}

std::unique_ptr<RegistryFollower::Bound> RegistryFollower::bind(std::uint32_t id, const char* type,
                                                                std::uint32_t version) {
  auto bound = std::make_unique<Bound>();
  bound->owner = this;
  bound->id = id;
  bound->proxy.reset(static_cast<pw_proxy*>(
      pw_registry_bind(reinterpret_cast<pw_registry*>(registry_.get()), id, type, version, 0)));
  if (!bound->proxy) {
    return nullptr;  // out of memory: the object stays unknown
  }
  return bound;
}

void RegistryFollower::global_added(void* userdata, std::uint32_t id, std::uint32_t,
                                    const char* type, std::uint32_t, const spa_dict* props) {
  auto* self = static_cast<RegistryFollower*>(userdata);
  const std::string_view kind = type != nullptr ? type : "";
  const auto serial = parse_serial(lookup(props, PW_KEY_OBJECT_SERIAL));
  if (kind == PW_TYPE_INTERFACE_Port) {
    const auto node = parse_serial(lookup(props, PW_KEY_NODE_ID));
    const char* direction = lookup(props, PW_KEY_PORT_DIRECTION);
    const char* channel = lookup(props, PW_KEY_AUDIO_CHANNEL);
    if (node && direction != nullptr && serial) {
      self->members_.add_port(
          id, *serial, static_cast<std::uint32_t>(*node),
          std::string_view(direction) == "in" ? PortDirection::input : PortDirection::output,
          channel != nullptr ? channel : "");
    }
  } else if (kind == PW_TYPE_INTERFACE_Node) {
    const char* media_class = lookup(props, PW_KEY_MEDIA_CLASS);
    if (media_class == nullptr || !serial) {
      return;
    }
    if (media_class == kSinkClass || media_class == kCaptureClass) {
      // Only its info matters: whether it belongs to a link group.
      auto bound = self->bind(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE);
      if (!bound) {
        return;
      }
      static const pw_node_events kGroupNodeEvents = [] {
        pw_node_events events{};
        events.version = PW_VERSION_NODE_EVENTS;
        events.info = &RegistryFollower::group_node_info;
        return events;
      }();
      pw_node_add_listener(reinterpret_cast<pw_node*>(bound->proxy.get()), bound->listener.get(),
                           &kGroupNodeEvents, bound.get());
      self->nodes_[id] = std::move(bound);
      return;
    }
    if (media_class != kPlaybackClass) {
      return;
    }
    auto bound = self->bind(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE);
    if (!bound) {
      return;
    }
    const auto client = parse_serial(lookup(props, PW_KEY_CLIENT_ID));
    self->members_.add_node(
        id, *serial,
        client ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*client)) : std::nullopt);
    static const pw_node_events kNodeEvents = [] {
      pw_node_events events{};
      events.version = PW_VERSION_NODE_EVENTS;
      events.info = &RegistryFollower::node_info;
      return events;
    }();
    pw_node_add_listener(reinterpret_cast<pw_node*>(bound->proxy.get()), bound->listener.get(),
                         &kNodeEvents, bound.get());
    self->nodes_[id] = std::move(bound);
  } else if (kind == PW_TYPE_INTERFACE_Client) {
    auto bound = self->bind(id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT);
    if (!bound) {
      return;
    }
    self->members_.add_client(id);
    static const pw_client_events kClientEvents = [] {
      pw_client_events events{};
      events.version = PW_VERSION_CLIENT_EVENTS;
      events.info = &RegistryFollower::client_info;
      return events;
    }();
    pw_client_add_listener(reinterpret_cast<pw_client*>(bound->proxy.get()), bound->listener.get(),
                           &kClientEvents, bound.get());
    self->clients_[id] = std::move(bound);
  }
}

void RegistryFollower::global_removed(void* userdata, std::uint32_t id) {
  auto* self = static_cast<RegistryFollower*>(userdata);
  // Ids are unique across kinds at any moment.
  self->nodes_.erase(id);
  self->clients_.erase(id);
  self->members_.remove_node(id);
  self->members_.remove_client(id);
  self->members_.remove_port(id);
}

void RegistryFollower::node_info(void* userdata, const pw_node_info* info) {
  const auto* bound = static_cast<const Bound*>(userdata);
  if (info == nullptr ||
      (info->change_mask & (PW_NODE_CHANGE_MASK_PROPS | PW_NODE_CHANGE_MASK_STATE)) == 0) {
    return;
  }
  const char* link_group = lookup(info->props, PW_KEY_NODE_LINK_GROUP);
  bound->owner->members_.set_node_info(
      bound->id, linux_host::parse_process_id_property(lookup(info->props, PW_KEY_APP_PROCESS_ID)),
      link_group != nullptr ? link_group : "", info->state == PW_NODE_STATE_RUNNING);
}

void RegistryFollower::group_node_info(void* userdata, const pw_node_info* info) {
  const auto* bound = static_cast<const Bound*>(userdata);
  if (info == nullptr || (info->change_mask & PW_NODE_CHANGE_MASK_PROPS) == 0) {
    return;
  }
  const char* link_group = lookup(info->props, PW_KEY_NODE_LINK_GROUP);
  const char* media_class = lookup(info->props, PW_KEY_MEDIA_CLASS);
  const char* captures_sink = lookup(info->props, PW_KEY_STREAM_CAPTURE_SINK);
  if (link_group == nullptr || media_class == nullptr) {
    return;
  }
  const std::optional<GroupSide> side = link_group_side(
      media_class, captures_sink != nullptr && std::string_view(captures_sink) == "true");
  if (side) {
    bound->owner->members_.set_link_group_node(bound->id, link_group, *side);
  }
}

void RegistryFollower::client_info(void* userdata, const pw_client_info* info) {
  const auto* bound = static_cast<const Bound*>(userdata);
  if (info == nullptr || (info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS) == 0) {
    return;
  }
  ClientFacts facts;
  facts.checked_pid = linux_host::parse_process_id_property(lookup(info->props, PW_KEY_SEC_PID));
  facts.checked_pid_is_daemon = facts.checked_pid && is_pipewire_daemon_process(*facts.checked_pid);
  facts.declared_pid =
      linux_host::parse_process_id_property(lookup(info->props, PW_KEY_APP_PROCESS_ID));
  bound->owner->members_.set_client_info(bound->id, facts);
}

}  // namespace audio_host::pipewire_host
