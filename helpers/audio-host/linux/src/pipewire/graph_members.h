// The registry follower's bookkeeping, without PipeWire calls: the playback
// nodes, their clients and every port, which nodes are members of the
// capture, and the links the capture wants from the members' output ports
// to the capture stream's input ports.
//
// A node is decided only once its own info and its client's info are in
// (a node that must stay out is never linked for a moment), and decided
// again when what they tell changes its process. A node the server made
// (its client's checked PID is PipeWire's own) as part of a link group
// (node_rules.h) waits for another node of its group, which tells whether
// it carries other streams: such a node is never a member. Object ids are reused by
// the server: a node added again under its id with another serial is a new
// node, and links are told apart by their ports' serials.
//
// Threads: the host's main thread only (the registry's events); nothing is
// shared.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pipewire/node_rules.h"

namespace audio_host::pipewire_host {

enum class PortDirection { input, output };

// A link the capture wants: a member's output port to one of the capture
// stream's input ports, named by id (what the link factory takes) and told
// apart by serial.
struct WantedLink {
  std::uint32_t output_node = 0;
  std::uint32_t output_port = 0;
  std::uint32_t input_node = 0;
  std::uint32_t input_port = 0;
  std::uint64_t output_port_serial = 0;
  std::uint64_t input_port_serial = 0;
  std::pair<std::uint64_t, std::uint64_t> key() const {
    return {output_port_serial, input_port_serial};
  }
};

// A playback node whose process is known now and not yet decided for it.
struct PendingDecision {
  std::uint32_t node = 0;
  std::uint64_t serial = 0;
  std::optional<std::uint32_t> pid;
  // It plays a virtual sink's mix or a sink's monitor: never captured.
  bool carries_other_streams = false;
};

class GraphMembers {
 public:
  // The capture stream's own node, whose input ports the links go to.
  void set_capture_node(std::uint32_t id);

  // A playback node ("Stream/Output/Audio") and its client's id, if it has
  // a client.
  void add_node(std::uint32_t id, std::uint64_t serial, std::optional<std::uint32_t> client);
  // The node's own info: its declared "application.process.id", its
  // "node.link-group" (empty when it has none), and whether it is running
  // (for the listing; it decides nothing).
  void set_node_info(std::uint32_t id, std::optional<std::uint32_t> declared_pid,
                     std::string link_group, bool running);
  // Another node of a link group: which side of it (node_rules.h).
  void set_link_group_node(std::uint32_t id, std::string link_group, GroupSide side);
  // Any node, playback or of a link group.
  void remove_node(std::uint32_t id);

  void add_client(std::uint32_t id);
  void set_client_info(std::uint32_t id, const ClientFacts& facts);
  void remove_client(std::uint32_t id);

  // Any port; `channel` is its "audio.channel" (empty when it has none).
  void add_port(std::uint32_t id, std::uint64_t serial, std::uint32_t node, PortDirection direction,
                std::string channel);
  void remove_port(std::uint32_t id);

  // Whether anything was added, removed, changed or decided since the last
  // call (and clears that).
  bool take_changed();

  // The nodes to decide now, in id order.
  std::vector<PendingDecision> pending_decisions() const;
  // Records the decision for `pid` of the node of that id and serial (a
  // node since removed or replaced is ignored).
  void decide(const PendingDecision& decided, bool captured);
  bool is_member(std::uint32_t node) const;

  // Every link the members want now, in the order of their ports' serials.
  std::vector<WantedLink> wanted_links() const;

  // The processes of the playback nodes whose process is known (both infos
  // in; unknown processes and nodes that carry other streams left out), each
  // with whether one of its nodes is running.
  std::map<std::uint32_t, bool> playback_processes() const;

 private:
  struct Node {
    std::uint64_t serial = 0;
    std::optional<std::uint32_t> client;
    bool info_in = false;
    std::optional<std::uint32_t> declared_pid;
    std::string link_group;
    bool running = false;
    bool decided = false;
    std::optional<std::uint32_t> decided_pid;
    bool decided_carrying = false;
    bool member = false;
  };
  struct GroupNode {
    std::string link_group;
    GroupSide side = GroupSide::carries_source;
  };
  // What the node's link group tells, once it is known: whether it
  // carries other streams. nullopt while it must wait (see the top).
  std::optional<bool> carries_other_streams(const Node& node) const;
  struct Client {
    bool info_in = false;
    ClientFacts facts;
  };
  struct Port {
    std::uint64_t serial = 0;
    std::uint32_t node = 0;
    PortDirection direction = PortDirection::output;
    std::string channel;
  };
  // The node's process, once both infos are in.
  std::optional<std::optional<std::uint32_t>> known_process(const Node& node) const;

  std::optional<std::uint32_t> capture_node_;
  std::map<std::uint32_t, Node> nodes_;
  std::map<std::uint32_t, Client> clients_;
  std::map<std::uint32_t, Port> ports_;
  std::map<std::uint32_t, GroupNode> group_nodes_;
  bool changed_ = false;
};

}  // namespace audio_host::pipewire_host
