#include "pipewire/graph_members.h"

namespace audio_host::pipewire_host {

void GraphMembers::set_capture_node(std::uint32_t id) {
  changed_ |= capture_node_ != id;
  capture_node_ = id;
}

void GraphMembers::add_node(std::uint32_t id, std::uint64_t serial,
                            std::optional<std::uint32_t> client) {
  const auto found = nodes_.find(id);
  if (found != nodes_.end() && found->second.serial == serial) {
    return;
  }
  Node& node = nodes_[id];
  node = Node{};
  node.serial = serial;
  node.client = client;
  changed_ = true;
}

void GraphMembers::set_node_info(std::uint32_t id, std::optional<std::uint32_t> declared_pid,
                                 std::string link_group, bool running) {
  const auto found = nodes_.find(id);
  if (found == nodes_.end()) {
    return;
  }
  Node& node = found->second;
  changed_ |= !node.info_in || node.declared_pid != declared_pid || node.link_group != link_group;
  node.info_in = true;
  node.declared_pid = declared_pid;
  node.link_group = std::move(link_group);
  node.running = running;
}

void GraphMembers::set_link_group_node(std::uint32_t id, std::string link_group, GroupSide side) {
  GroupNode& node = group_nodes_[id];
  changed_ |= node.link_group != link_group || node.side != side;
  node.link_group = std::move(link_group);
  node.side = side;
}

void GraphMembers::remove_node(std::uint32_t id) {
  changed_ |= nodes_.erase(id) > 0;
  changed_ |= group_nodes_.erase(id) > 0;
}

void GraphMembers::add_client(std::uint32_t id) {
  // A client added again under a reused id starts without info.
  clients_[id] = Client{};
  changed_ = true;
}

void GraphMembers::set_client_info(std::uint32_t id, const ClientFacts& facts) {
  const auto found = clients_.find(id);
  if (found == clients_.end()) {
    return;
  }
  Client& client = found->second;
  const ClientFacts& old = client.facts;
  changed_ |= !client.info_in || old.checked_pid != facts.checked_pid ||
              old.checked_pid_is_daemon != facts.checked_pid_is_daemon ||
              old.declared_pid != facts.declared_pid;
  client.info_in = true;
  client.facts = facts;
}

void GraphMembers::remove_client(std::uint32_t id) {
  changed_ |= clients_.erase(id) > 0;
}

void GraphMembers::add_port(std::uint32_t id, std::uint64_t serial, std::uint32_t node,
                            PortDirection direction, std::string channel) {
  ports_[id] = Port{serial, node, direction, std::move(channel)};
  changed_ = true;
}

void GraphMembers::remove_port(std::uint32_t id) {
  changed_ |= ports_.erase(id) > 0;
}

bool GraphMembers::take_changed() {
  return std::exchange(changed_, false);
}

std::optional<std::optional<std::uint32_t>> GraphMembers::known_process(const Node& node) const {
  if (!node.info_in) {
    return std::nullopt;
  }
  if (!node.client) {
    return std::optional<std::uint32_t>{};  // no client: the process is unknown
  }
  const auto client = clients_.find(*node.client);
  if (client == clients_.end() || !client->second.info_in) {
    return std::nullopt;
  }
  return playback_process_id(&client->second.facts, node.declared_pid);
}

std::optional<bool> GraphMembers::carries_other_streams(const Node& node) const {
  if (node.link_group.empty()) {
    return false;
  }
  bool known = false;
  for (const auto& [id, member] : group_nodes_) {
    if (member.link_group == node.link_group) {
      if (member.side == GroupSide::carries_streams) {
        return true;
      }
      known = true;
    }
  }
  if (known) {
    return false;
  }
  // A group with nothing known beside the node: one the server made waits
  // for the rest of it; a program's own stream is judged as it is.
  const auto client = node.client ? clients_.find(*node.client) : clients_.end();
  const bool server_made = client != clients_.end() && client->second.facts.checked_pid_is_daemon;
  return server_made ? std::nullopt : std::optional<bool>(false);
}

std::vector<PendingDecision> GraphMembers::pending_decisions() const {
  std::vector<PendingDecision> pending;
  for (const auto& [id, node] : nodes_) {
    const auto process = known_process(node);
    if (!process) {
      continue;
    }
    const std::optional<bool> carrying = carries_other_streams(node);
    if (carrying &&
        (!node.decided || node.decided_pid != *process || node.decided_carrying != *carrying)) {
      pending.push_back(PendingDecision{id, node.serial, *process, *carrying});
    }
  }
  return pending;
}

void GraphMembers::decide(const PendingDecision& decided, bool captured) {
  const auto found = nodes_.find(decided.node);
  if (found == nodes_.end() || found->second.serial != decided.serial) {
    return;
  }
  Node& node = found->second;
  changed_ |= !node.decided || node.member != captured;
  node.decided = true;
  node.decided_pid = decided.pid;
  node.decided_carrying = decided.carries_other_streams;
  node.member = captured && !decided.carries_other_streams;
}

bool GraphMembers::is_member(std::uint32_t node) const {
  const auto found = nodes_.find(node);
  return found != nodes_.end() && found->second.member;
}

std::vector<WantedLink> GraphMembers::wanted_links() const {
  std::vector<WantedLink> links;
  if (!capture_node_) {
    return links;
  }
  // The capture stream's inputs, by side.
  std::vector<std::pair<InputSide, std::pair<std::uint32_t, const Port*>>> inputs;
  for (const auto& [id, port] : ports_) {
    if (port.node == *capture_node_ && port.direction == PortDirection::input) {
      if (const auto side = capture_input_side(port.channel)) {
        inputs.push_back({*side, {id, &port}});
      }
    }
  }
  for (const auto& [id, port] : ports_) {
    if (port.direction != PortDirection::output || !is_member(port.node)) {
      continue;
    }
    const CaptureInputs to = capture_inputs_for(port.channel);
    for (const auto& [side, input] : inputs) {
      if ((side == InputSide::left && to.left) || (side == InputSide::right && to.right)) {
        links.push_back(WantedLink{port.node, id, *capture_node_, input.first, port.serial,
                                   input.second->serial});
      }
    }
  }
  std::sort(links.begin(), links.end(),
            [](const WantedLink& a, const WantedLink& b) { return a.key() < b.key(); });
  return links;
}

std::map<std::uint32_t, bool> GraphMembers::playback_processes() const {
  std::map<std::uint32_t, bool> processes;
  for (const auto& [id, node] : nodes_) {
    const auto process = known_process(node);
    if (process && *process && carries_other_streams(node) == false) {
      bool& running = processes[**process];
      running = running || node.running;
    }
  }
  return processes;
}

}  // namespace audio_host::pipewire_host
