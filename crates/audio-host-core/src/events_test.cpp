#include "events.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace audio_host {
namespace {

TEST(Events, FormatAndErrorEventsAreByteExact) {
  EXPECT_EQ(format_event("wasapi-process-loopback").to_json(),
            R"({"backend":"wasapi-process-loopback","channels":1,"event":"format",)"
            R"("sampleFormat":"s16le","sampleRate":48000})");
  EXPECT_EQ(format_event("pulseaudio-stream-monitor").to_json(),
            R"({"backend":"pulseaudio-stream-monitor","channels":1,"event":"format",)"
            R"("sampleFormat":"s16le","sampleRate":48000})");
  EXPECT_EQ(error_event("target is required").to_json(),
            R"({"code":"capture_failed","event":"error","message":"target is required"})");
}

TEST(Events, MessagesAreEscaped) {
  const std::string message = "bad \"path\" C:\\x\\y.exe\tline\nnext \x01 \xC3\xA4";
  const std::string json = error_event(message).to_json();
  EXPECT_EQ(json,
            "{\"code\":\"capture_failed\",\"event\":\"error\",\"message\":"
            "\"bad \\\"path\\\" C:\\\\x\\\\y.exe\\tline\\nnext \\u0001 \xC3\xA4\"}");
  EXPECT_EQ(nlohmann::json::parse(json)["message"].get<std::string>(), message);
}

TEST(EventObject, KeysInAscendingByteOrderWhateverTheInsertionOrder) {
  EventObject event;
  event.set("b", std::uint64_t{2});
  event.set("\xC3\xA4", std::string("non-ASCII sorts after ASCII"));
  event.set("a", std::uint64_t{1});
  event.set("ab", std::uint64_t{3});
  event.set("B", std::uint64_t{0});
  event.set("a", std::uint64_t{9});  // replaces
  EXPECT_EQ(event.to_json(),
            "{\"B\":0,\"a\":9,\"ab\":3,\"b\":2,\"\xC3\xA4\":\"non-ASCII sorts after ASCII\"}");
  EXPECT_EQ(EventObject().to_json(), "{}");
}

}  // namespace
}  // namespace audio_host
