// Writes arbitrary UTF-8 text through the JSON writer (as an event message,
// a key and a listing-like array) and checks that a real parser reads the
// same text back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "events.h"
#include "json.h"
#include "text.h"

namespace {

void check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The host only writes valid UTF-8; make the input so.
  const std::u16string wide =
      vantle::utf8_to_utf16_lossy(std::string(reinterpret_cast<const char*>(data), size));
  const std::string text = vantle::utf16_to_utf8_lossy(wide.data(), wide.size());

  const std::string event = audio_host::error_event(text).to_json();
  const auto parsed_event = nlohmann::json::parse(event);
  check(parsed_event["message"].get<std::string>() == text);
  check(event.find_first_of("\n\r") == std::string::npos);

  audio_host::EventObject keyed;
  keyed.set("event", std::string("x"));
  keyed.set(text, std::uint64_t{size});  // replaces "event" when the text is that key
  const auto parsed_keyed = nlohmann::json::parse(keyed.to_json());
  check(parsed_keyed[text].get<std::uint64_t>() == size);

  audio_host::JsonWriter writer;
  writer.begin_array();
  writer.begin_object();
  writer.key("exe");
  writer.string(text);
  writer.key("start_time");
  writer.number(static_cast<std::uint64_t>(size) * 0x9E3779B97F4A7C15ull);
  writer.key("active");
  writer.boolean(false);
  writer.end_object();
  writer.end_array();
  const auto parsed_array = nlohmann::json::parse(writer.text());
  check(parsed_array[0]["exe"].get<std::string>() == text);
  check(writer.text().find(' ') == std::string::npos || text.find(' ') != std::string::npos);
  return 0;
}
