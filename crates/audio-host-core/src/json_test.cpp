#include "json.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

namespace audio_host {
namespace {

std::string as_json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

TEST(JsonString, EscapesOnlyWhatItMust) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "\"plain\""},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\Apps\\player.exe", R"("C:\\Apps\\player.exe")"},
      {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string("\x00\x01\x1b\x1f", 4), R"("\u0000\u0001\u001b\u001f")"},
      {"a/b\x7f", "\"a/b\x7f\""},
      {"\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x8E\xB5", "\"\xC3\xA4 \xE2\x82\xAC \xF0\x9F\x8E\xB5\""},
      {"", "\"\""},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(as_json_string(text), expected);
    // A real parser reads back the same bytes.
    EXPECT_EQ(nlohmann::json::parse(as_json_string(text)).get<std::string>(), text);
  }
}

TEST(JsonWriter, WritesCompactNestedDocuments) {
  JsonWriter writer;
  writer.begin_array();
  writer.begin_object();
  writer.key("id");
  writer.string("pid:8");
  writer.key("start_time");
  writer.number(18446744073709551615ull);
  writer.key("active");
  writer.boolean(false);
  writer.key("empty");
  writer.begin_array();
  writer.end_array();
  writer.end_object();
  writer.begin_object();
  writer.end_object();
  writer.number(0);
  writer.boolean(true);
  writer.end_array();
  const std::string expected =
      R"([{"id":"pid:8","start_time":18446744073709551615,"active":false,"empty":[]},{},0,true])";
  EXPECT_EQ(writer.text(), expected);
  const auto parsed = nlohmann::json::parse(writer.text());
  EXPECT_EQ(parsed[0]["start_time"].get<std::uint64_t>(), 18446744073709551615ull);
}

}  // namespace
}  // namespace audio_host
