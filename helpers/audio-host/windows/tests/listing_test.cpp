// `audio-host.exe --list` under Wine (with a display), against window-helper
// children of known identity: who is listed, with what, in which order and
// in which exact byte form. Other processes with windows (Wine's own, other
// tests' helpers) may be listed too, so only our helpers are looked up.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/window_helper_child.h"

namespace {

using nlohmann::ordered_json;
using test_support::Child;
using test_support::HelperIdentity;

struct Helper {
  const char* name;
  std::vector<std::wstring> arguments;
  bool listed;
  Child child;
  HelperIdentity identity;
};

std::vector<const ordered_json*> entries_with_id(const ordered_json& list, const std::string& id) {
  std::vector<const ordered_json*> found;
  for (const auto& entry : list) {
    if (entry.is_object() && entry.contains("id") && entry["id"] == id) {
      found.push_back(&entry);
    }
  }
  return found;
}

TEST(HostListing, ListsEachProcessWithAVisibleWindowOnceWithItsIdentity) {
  Helper helpers[] = {
      {"one visible window", {L"--visible", L"1"}, true, {}, {}},
      {"two visible windows and a hidden one",
       {L"--visible", L"2", L"--hidden", L"1", L"--title", L"Zwei Fenster \u00e4"},
       true,
       {},
       {}},
      {"hidden windows only", {L"--visible", L"0", L"--hidden", L"2"}, false, {}, {}},
  };
  for (Helper& helper : helpers) {
    std::string error;
    ASSERT_TRUE(
        test_support::start_window_helper(helper.child, helper.arguments, helper.identity, error))
        << helper.name << ": " << error;
  }

  const auto result =
      test_support::run(test_support::program_folder() + L"audio-host.exe", {L"--list"});
  ASSERT_TRUE(result.finished);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(result.err, "");

  const ordered_json list = ordered_json::parse(result.out, nullptr, false);
  ASSERT_TRUE(list.is_array()) << result.out;
  // Compact, no line feed, members in their fixed order: a compact
  // re-serialisation of what was parsed gives back the same bytes.
  EXPECT_EQ(list.dump(), result.out);

  std::uint64_t previous_pid = 0;
  for (const auto& entry : list) {
    ASSERT_TRUE(entry.is_object()) << entry.dump();
    std::vector<std::string> keys;
    for (const auto& member : entry.items()) {
      keys.push_back(member.key());
    }
    ASSERT_EQ(keys, (std::vector<std::string>{"id", "label", "exe", "start_time", "active"}))
        << entry.dump();
    EXPECT_EQ(entry["active"], false);
    ASSERT_TRUE(entry["start_time"].is_number_unsigned()) << entry.dump();
    const std::string id = entry["id"].get<std::string>();
    ASSERT_TRUE(id.starts_with("pid:")) << id;
    const std::uint64_t pid = std::stoull(id.substr(4));
    EXPECT_EQ("pid:" + std::to_string(pid), id);
    EXPECT_GT(pid, previous_pid) << "PIDs ascend, each once";
    previous_pid = pid;
  }

  for (const Helper& helper : helpers) {
    const auto found = entries_with_id(list, "pid:" + std::to_string(helper.identity.pid));
    if (!helper.listed) {
      EXPECT_TRUE(found.empty()) << helper.name;
      continue;
    }
    ASSERT_EQ(found.size(), 1u) << helper.name;
    const ordered_json& entry = *found.front();
    EXPECT_EQ(entry["label"], "window-helper.exe") << helper.name;
    EXPECT_EQ(entry["exe"], helper.identity.exe) << helper.name;
    EXPECT_EQ(entry["start_time"].get<std::uint64_t>(), helper.identity.start_time) << helper.name;
  }

  for (Helper& helper : helpers) {
    helper.child.close_stdin();
    EXPECT_TRUE(helper.child.wait(20000)) << helper.name;
  }
}

}  // namespace
