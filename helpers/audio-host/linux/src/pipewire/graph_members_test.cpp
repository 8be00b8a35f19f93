#include "pipewire/graph_members.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace audio_host::pipewire_host {
namespace {

constexpr std::uint32_t kCapture = 50;  // the capture stream's node
constexpr std::uint32_t kCaptureLeft = 51;
constexpr std::uint32_t kCaptureRight = 52;

// Links as "output port -> input port".
std::vector<std::string> links_of(const GraphMembers& members) {
  std::vector<std::string> links;
  for (const WantedLink& link : members.wanted_links()) {
    links.push_back(std::to_string(link.output_port) + "->" + std::to_string(link.input_port));
  }
  return links;
}

class Members : public ::testing::Test {
 protected:
  void SetUp() override {
    members.set_capture_node(kCapture);
    members.add_port(kCaptureLeft, 1051, kCapture, PortDirection::input, "FL");
    members.add_port(kCaptureRight, 1052, kCapture, PortDirection::input, "FR");
  }

  // A playback node `id` of client `client` (a native one of process
  // `pid`) with ports id+1 (FL) and id+2 (FR), everything announced.
  void add_player(std::uint32_t id, std::uint32_t client, std::uint32_t pid) {
    members.add_client(client);
    members.set_client_info(client, ClientFacts{pid, false, pid});
    members.add_node(id, 100 + id, client);
    members.set_node_info(id, std::nullopt, "", true);
    members.add_port(id + 1, 100 + id + 1, id, PortDirection::output, "FL");
    members.add_port(id + 2, 100 + id + 2, id, PortDirection::output, "FR");
  }

  // Decides every pending node: captured when its PID is in `taken`.
  void decide_all(const std::vector<std::uint32_t>& taken) {
    for (const PendingDecision& pending : members.pending_decisions()) {
      const bool captured =
          pending.pid && std::find(taken.begin(), taken.end(), *pending.pid) != taken.end();
      members.decide(pending, captured);
    }
  }

  GraphMembers members;
};

TEST_F(Members, ANodeIsDecidedOnlyOnceItsOwnAndItsClientsInfoAreIn) {
  members.add_client(10);
  members.add_node(20, 120, 10);
  members.add_port(21, 121, 20, PortDirection::output, "FL");
  EXPECT_TRUE(members.pending_decisions().empty()) << "neither info";
  members.set_node_info(20, std::nullopt, "", false);
  EXPECT_TRUE(members.pending_decisions().empty()) << "the client's info is missing";
  members.set_client_info(10, ClientFacts{700, false, 700});
  const auto pending = members.pending_decisions();
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].node, 20u);
  EXPECT_EQ(pending[0].pid, 700u);
  EXPECT_TRUE(links_of(members).empty()) << "undecided: not linked";
  members.decide(pending[0], true);
  EXPECT_TRUE(members.pending_decisions().empty());
  EXPECT_EQ(links_of(members), (std::vector<std::string>{"21->51"}));

  // A node without a client is decided on its own info, process unknown.
  members.add_node(30, 130, std::nullopt);
  EXPECT_TRUE(members.pending_decisions().empty());
  members.set_node_info(30, 4242, "", false);
  ASSERT_EQ(members.pending_decisions().size(), 1u);
  EXPECT_EQ(members.pending_decisions()[0].pid, std::nullopt);
}

TEST_F(Members, PortsAreLinkedByChannelMonoToBothAndOnlyForMembers) {
  add_player(20, 10, 700);  // taken: FL and FR
  add_player(30, 11, 800);  // left out
  members.add_client(12);
  members.set_client_info(12, ClientFacts{900, false, 900});
  members.add_node(40, 140, 12);  // taken: a mono port and a control port
  members.set_node_info(40, std::nullopt, "", true);
  members.add_port(41, 141, 40, PortDirection::output, "MONO");
  members.add_port(42, 142, 40, PortDirection::output, "");
  members.add_port(43, 143, 40, PortDirection::input, "FL");  // an input of the node
  decide_all({700, 900});
  EXPECT_TRUE(members.is_member(20));
  EXPECT_FALSE(members.is_member(30));
  EXPECT_EQ(links_of(members), (std::vector<std::string>{"21->51", "22->52", "41->51", "41->52"}));

  // The capture stream's ports are what the links go to: none, no links.
  members.remove_port(kCaptureLeft);
  EXPECT_EQ(links_of(members), (std::vector<std::string>{"22->52", "41->52"}));
  members.remove_port(kCaptureRight);
  EXPECT_TRUE(links_of(members).empty());
}

TEST_F(Members, AnIdReusedWithAnotherSerialIsANewNode) {
  add_player(20, 10, 700);
  decide_all({700});
  const PendingDecision stale{20, 120, 700};
  ASSERT_FALSE(links_of(members).empty());

  // The server removed node 20 and its ports, then gave the id to a node of
  // another client, whose info has not come yet.
  members.remove_port(21);
  members.remove_port(22);
  members.remove_node(20);
  members.add_client(11);
  members.add_node(20, 5020, 11);
  members.add_port(21, 5021, 20, PortDirection::output, "FL");
  EXPECT_TRUE(links_of(members).empty()) << "the new node is not a member until decided";
  members.decide(stale, true);  // a decision for the old node
  EXPECT_FALSE(members.is_member(20));
  EXPECT_TRUE(links_of(members).empty());

  // The same node announced again (same serial) keeps its decision.
  members.set_node_info(20, std::nullopt, "", true);
  members.set_client_info(11, ClientFacts{800, false, 800});
  decide_all({800});
  members.add_node(20, 5020, 11);
  EXPECT_TRUE(members.is_member(20));
  const auto links = members.wanted_links();
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].output_port_serial, 5021u);
  EXPECT_EQ(links[0].input_port_serial, 1051u);
}

TEST_F(Members, AChangedProcessIsDecidedAgainAndAMemberThatLeavesIsUnlinked) {
  // A PulseAudio client: its checked PID is the service's, its process the
  // declared one.
  members.add_client(10);
  members.set_client_info(10, ClientFacts{99, true, 700});
  members.add_node(20, 120, 10);
  members.set_node_info(20, std::nullopt, "", true);
  members.add_port(21, 121, 20, PortDirection::output, "FL");
  decide_all({700});
  ASSERT_TRUE(members.is_member(20));

  struct Change {
    const char* name;
    std::optional<std::uint32_t> node_declared;
    ClientFacts client;
    bool decided_again;
    bool member;
  };
  const Change changes[] = {
      {"same process, other keys", std::nullopt, ClientFacts{99, true, 700}, false, true},
      {"the node declares another process", 800, ClientFacts{99, true, 700}, true, false},
      {"and back", 700, ClientFacts{99, true, 800}, true, true},
      {"the client's own PID is checked now", 700, ClientFacts{555, false, 700}, true, false},
  };
  for (const Change& c : changes) {
    members.set_node_info(20, c.node_declared, "", true);
    members.set_client_info(10, c.client);
    EXPECT_EQ(!members.pending_decisions().empty(), c.decided_again) << c.name;
    decide_all({700});
    EXPECT_EQ(members.is_member(20), c.member) << c.name;
    EXPECT_EQ(links_of(members).size(), c.member ? 1u : 0u) << c.name;
  }
}

TEST_F(Members, ChangesAreReportedOnce) {
  EXPECT_TRUE(members.take_changed());
  EXPECT_FALSE(members.take_changed());
  add_player(20, 10, 700);
  EXPECT_TRUE(members.take_changed());
  members.set_node_info(20, std::nullopt, "", false);  // only the node's state
  members.set_client_info(10, ClientFacts{700, false, 700});
  EXPECT_FALSE(members.take_changed());
  decide_all({});
  EXPECT_TRUE(members.take_changed());
  members.remove_node(999);
  members.remove_port(999);
  EXPECT_FALSE(members.take_changed());
}

TEST_F(Members, PlaybackProcessesForTheListing) {
  add_player(20, 10, 700);
  members.set_node_info(20, std::nullopt, "", false);
  add_player(30, 11, 700);  // running
  add_player(40, 12, 800);
  members.set_node_info(40, std::nullopt, "", false);
  members.add_client(13);
  members.set_client_info(13, ClientFacts{std::nullopt, false, 900});
  members.add_node(60, 160, 13);  // unknown process
  members.set_node_info(60, 900, "", true);
  members.add_node(70, 170, 14);  // its client never announced
  members.set_node_info(70, std::nullopt, "", true);
  EXPECT_EQ(members.playback_processes(),
            (std::map<std::uint32_t, bool>{{700, true}, {800, false}}));
}

// Streams the server plays for a module: a loopback or virtual sink's
// playback stream waits for another node of its link group, which tells
// whether it carries other programs' sound (never captured) or a real
// source (judged like any other). A program's own stream is not held back.
TEST_F(Members, AStreamThatCarriesOtherStreamsIsNeverAMember) {
  constexpr std::uint32_t kServerClient = 10;
  constexpr std::uint32_t kServerPid = 700;
  members.add_client(kServerClient);
  members.set_client_info(kServerClient, ClientFacts{kServerPid, true, kServerPid});
  struct Case {
    const char* name;
    std::uint32_t client;
    std::optional<GroupSide> sibling;  // the other node of the group, if any
    bool pending;                      // decided now
    bool member;                       // with every PID taken
  };
  const Case cases[] = {
      {"a virtual sink's mix", kServerClient, GroupSide::carries_streams, true, false},
      {"a loopback of a monitor", kServerClient, GroupSide::carries_streams, true, false},
      {"a loopback of a microphone", kServerClient, GroupSide::carries_source, true, true},
      {"the server's stream, its group not yet known", kServerClient, std::nullopt, false, false},
      {"a program's stream in a group of its own", 30, std::nullopt, true, true},
  };
  std::uint32_t id = 100;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string group = "group-" + std::to_string(id);
    if (c.client != kServerClient) {
      members.add_client(c.client);
      members.set_client_info(c.client, ClientFacts{800, false, 800});
    }
    members.add_node(id, 1000 + id, c.client);
    members.set_node_info(id, std::nullopt, group, true);
    members.add_port(id + 1, 1000 + id + 1, id, PortDirection::output, "FL");
    if (c.sibling) {
      members.set_link_group_node(id + 5, group, *c.sibling);
    }
    const std::vector<PendingDecision> pending = members.pending_decisions();
    const bool decided_now = std::any_of(pending.begin(), pending.end(),
                                         [&](const PendingDecision& p) { return p.node == id; });
    EXPECT_EQ(decided_now, c.pending);
    decide_all({kServerPid, 800});
    EXPECT_EQ(members.is_member(id), c.member);
    id += 10;
  }
  // The group's other side, seen late, takes a member out.
  const std::uint32_t late = 100 + 10 * 4;  // the program's stream above
  members.set_link_group_node(late + 5, "group-" + std::to_string(late),
                              GroupSide::carries_streams);
  decide_all({kServerPid, 800});
  EXPECT_FALSE(members.is_member(late));
}

}  // namespace
}  // namespace audio_host::pipewire_host
