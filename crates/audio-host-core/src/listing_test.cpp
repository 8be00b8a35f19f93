#include "listing.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <utility>
#include <vector>

namespace audio_host {
namespace {

TEST(ApplicationListing, LabelIsTheTextAfterTheLastSeparator) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"C:\\Apps\\player.exe", "player.exe"},
      {"Z:\\tmp\\x/app.exe", "app.exe"},
      {"C:/a\\b/c.exe", "c.exe"},
      {"player.exe", "player.exe"},
      {"C:\\Apps\\", ""},
      {"", ""},
      {"C:\\M\xC3\xBCsik\\Pl\xC3\xA4yer.exe", "Pl\xC3\xA4yer.exe"},
  };
  for (const auto& [path, label] : cases) {
    EXPECT_EQ(executable_label(path, PathRules::windows), label) << path;
  }
}

TEST(ApplicationListing, WritesEntriesCompactlyInFixedMemberOrder) {
  EXPECT_EQ(application_list_json({}), "[]");

  const std::vector<ApplicationEntry> entries = {
      make_application_entry(8, "C:\\Apps\\player.exe", 133'000'000'000'000'000,
                             PathRules::windows),
      make_application_entry(4242, "C:\\M\xC3\xBCsik\\\"q\".exe", UINT64_MAX, PathRules::windows),
  };
  EXPECT_EQ(entries[1].id, "pid:4242");
  EXPECT_FALSE(entries[1].active);
  const std::string text = application_list_json(entries);
  EXPECT_EQ(text, R"([{"id":"pid:8","label":"player.exe","exe":"C:\\Apps\\player.exe",)"
                  R"("start_time":133000000000000000,"active":false},)"
                  R"({"id":"pid:4242","label":"\"q\".exe","exe":"C:\\M)"
                  "\xC3\xBC"
                  R"(sik\\\"q\".exe","start_time":18446744073709551615,"active":false}])");

  // A real parser reads back the same values, in the same member order.
  const auto parsed = nlohmann::ordered_json::parse(text);
  ASSERT_EQ(parsed.size(), 2u);
  std::vector<std::string> keys;
  for (const auto& member : parsed[1].items()) {
    keys.push_back(member.key());
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"id", "label", "exe", "start_time", "active"}));
  EXPECT_EQ(parsed[1]["exe"], entries[1].exe);
  EXPECT_EQ(parsed[1]["start_time"].get<std::uint64_t>(), UINT64_MAX);
}

// On Linux only '/' separates; a backslash is part of a file name. The
// active flag is the host's to set.
TEST(ApplicationListing, PosixLabelsAndActiveEntries) {
  const ApplicationEntry entry =
      make_application_entry(77, "/opt/a\\b/pl\\ayer", 5, PathRules::posix, /*active=*/true);
  EXPECT_EQ(entry.label, "pl\\ayer");
  EXPECT_EQ(application_list_json({entry}),
            R"([{"id":"pid:77","label":"pl\\ayer","exe":"/opt/a\\b/pl\\ayer",)"
            R"("start_time":5,"active":true}])");
  EXPECT_EQ(executable_label("/usr/bin/", PathRules::posix), "");
  EXPECT_EQ(executable_label("paplay", PathRules::posix), "paplay");
}

}  // namespace
}  // namespace audio_host
