// `--list` against real players on a private sound server and real X11
// windows on a private Xvfb (scripts/with-xvfb), with and without a window
// manager.
#include <gtest/gtest.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <thread>

#include "shared/processes.h"
#include "support/host_session.h"
#include "support/sound.h"

namespace {

using nlohmann::json;
using test_support::Child;
using test_support::Milliseconds;

constexpr Milliseconds kTimeout(20000);

// The host's listing, checked for its exact shape: compact, ascending PIDs,
// the members in their order.
json list_applications() {
  Child host;
  EXPECT_TRUE(host.start({test_support::host_program(), "--list"}));
  EXPECT_EQ(host.wait(kTimeout), 0);
  EXPECT_EQ(host.err(), "");
  const json listing = json::parse(host.out(), nullptr, false);
  EXPECT_TRUE(listing.is_array()) << host.out();
  EXPECT_EQ(nlohmann::ordered_json::parse(host.out(), nullptr, false).dump(), host.out())
      << "compact, members in order, nothing after";
  std::uint64_t previous = 0;
  for (const json& entry : listing) {
    const std::string id = entry.at("id");
    const std::uint64_t pid = std::stoull(id.substr(4));
    EXPECT_GT(pid, previous) << "ascending PID order, each once";
    previous = pid;
  }
  return listing;
}

const json* entry_of(const json& listing, pid_t pid) {
  for (const json& entry : listing) {
    if (entry.at("id") == "pid:" + std::to_string(pid)) {
      return &entry;
    }
  }
  return nullptr;
}

void expect_identity(const json& entry, pid_t pid, const std::string& label, bool active) {
  auto identity = audio_host::linux_host::read_process_identity(static_cast<std::uint32_t>(pid));
  ASSERT_TRUE(identity);
  const json expected = {{"id", "pid:" + std::to_string(pid)},
                         {"label", label},
                         {"exe", identity.value().exe()},
                         {"start_time", identity.value().start_time()},
                         {"active", active}};
  EXPECT_EQ(entry, expected);
}

TEST(Listing, PlayersWithTheirIdentityAndActivity) {
  if (test_support::sound_server_kind().empty()) {
    GTEST_SKIP() << "needs a sound server: run under scripts/with-sound-server";
  }
  auto player = test_support::start_player(440);
  ASSERT_TRUE(player);
  ASSERT_TRUE(test_support::sink_input_of(player->pid(), kTimeout));
  const json listing = list_applications();
  const json* entry = entry_of(listing, player->pid());
  ASSERT_NE(entry, nullptr) << listing.dump();
  // paplay is pacat under another name: the label is the executable's.
  auto identity = audio_host::linux_host::read_process_identity(player->pid());
  ASSERT_TRUE(identity);
  const std::string exe = identity.value().exe();
  expect_identity(*entry, player->pid(), exe.substr(exe.rfind('/') + 1), true);

  EXPECT_EQ(entry_of(listing, ::getpid()), nullptr) << "a process without stream or window";
}

// The root's property `name`, as 32-bit values (empty when unset).
std::vector<std::uint32_t> root_property(const char* name) {
  std::vector<std::uint32_t> values;
  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c) == 0) {
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
    if (atom != nullptr && atom->atom != XCB_ATOM_NONE) {
      xcb_get_property_reply_t* reply = xcb_get_property_reply(
          c, xcb_get_property(c, 0, screen->root, atom->atom, XCB_ATOM_ANY, 0, 1024), nullptr);
      if (reply != nullptr && reply->format == 32) {
        const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
        values.assign(data, data + xcb_get_property_value_length(reply) / 4);
      }
      std::free(reply);
    }
    std::free(atom);
  }
  xcb_disconnect(c);
  return values;
}

TEST(Listing, ProcessesWithAVisibleWindowWithAndWithoutAWindowManager) {
  if (std::getenv("DISPLAY") == nullptr) {
    GTEST_SKIP() << "needs an X display: run under scripts/with-xvfb";
  }
  const auto start_window = [](Child& helper, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), test_support::program_folder() + "x11-window-helper");
    ASSERT_TRUE(helper.start(arguments));
    ASSERT_TRUE(helper.pump_until([&] { return helper.out() == "ready\n"; }, kTimeout))
        << helper.err();
  };
  Child shown;
  Child hidden;
  // A window without _NET_WM_PID: the X server knows who made it.
  Child unmarked;
  start_window(shown, {});
  start_window(hidden, {"--unmapped"});
  start_window(unmarked, {"--no-pid"});
  // A program whose executable was replaced while it runs (a package
  // upgrade): /proc says "... (deleted)", the label does not.
  test_support::TempFolder folder;
  const std::string copy = folder.path() + "/upgraded-helper";
  ASSERT_TRUE(test_support::command_output(
      {"cp", test_support::program_folder() + "x11-window-helper", copy}));
  Child upgraded;
  ASSERT_TRUE(upgraded.start({copy}));
  ASSERT_TRUE(upgraded.pump_until([&] { return upgraded.out() == "ready\n"; }, kTimeout));
  ASSERT_EQ(::unlink(copy.c_str()), 0);

  // Without a window manager: the root's viewable children.
  ASSERT_TRUE(root_property("_NET_CLIENT_LIST").empty()) << "no window manager yet";
  json listing = list_applications();
  const json* entry = entry_of(listing, shown.pid());
  ASSERT_NE(entry, nullptr) << listing.dump();
  expect_identity(*entry, shown.pid(), "x11-window-helper", false);
  EXPECT_EQ(entry_of(listing, hidden.pid()), nullptr) << "its window was never mapped";
  entry = entry_of(listing, unmarked.pid());
  ASSERT_NE(entry, nullptr) << listing.dump();
  expect_identity(*entry, unmarked.pid(), "x11-window-helper", false);
  entry = entry_of(listing, upgraded.pid());
  ASSERT_NE(entry, nullptr) << listing.dump();
  expect_identity(*entry, upgraded.pid(), "upgraded-helper", false);
  EXPECT_EQ(entry->at("exe"), copy + " (deleted)");

  // With one: the windows of its client list (the root's children are then
  // its frames, which carry no PID).
  Child manager;
  test_support::SpawnOptions quiet;
  quiet.capture_output = false;
  ASSERT_TRUE(manager.start({"matchbox-window-manager", "-use_titlebar", "no"}, quiet));
  const auto managed = [&] { return !root_property("_NET_CLIENT_LIST").empty(); };
  ASSERT_TRUE(manager.pump_until(managed, kTimeout));
  Child late;
  start_window(late, {});
  bool listed = false;
  for (int i = 0; i < 200 && !listed; ++i) {
    listing = list_applications();
    listed = entry_of(listing, late.pid()) != nullptr && entry_of(listing, shown.pid()) != nullptr;
    if (!listed) {
      std::this_thread::sleep_for(Milliseconds(50));
    }
  }
  EXPECT_TRUE(listed) << listing.dump();
  EXPECT_EQ(entry_of(listing, hidden.pid()), nullptr);
  EXPECT_NE(entry_of(listing, unmarked.pid()), nullptr) << listing.dump();
}

}  // namespace
