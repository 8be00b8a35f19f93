// The JSON event lines the host writes on standard error: the format event
// just before capture starts, and the error event when a run fails.
//
// Only the main thread writes events. The capture worker writes its
// statistics line to the same stream; both take the standard error lock of
// std_streams.h for a whole line.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <variant>

#include "result.h"

namespace audio_host {

using EventValue = std::variant<std::string, std::uint64_t>;

// A JSON object whose members are written in ascending byte order of their
// keys, whatever order they were set in. Setting a key again replaces its
// value.
class EventObject {
 public:
  void set(std::string key, EventValue value);
  // The compact JSON text, without a line feed.
  std::string to_json() const;

 private:
  // std::string compares as unsigned bytes (char_traits<char>): byte order.
  std::map<std::string, EventValue> members_;
};

// Announces the stream; `backend` names how the host captures
// ("wasapi-process-loopback", "pulseaudio-stream-monitor").
EventObject format_event(std::string_view backend);
EventObject error_event(std::string_view message);

// Writes the object and one line feed to standard error under the standard
// error lock. With no standard error handle the line is dropped and this
// succeeds. After a failed write, every later call fails at once without
// writing: the host writes nothing more and ends with a non-zero status.
vantle::Status write_event_line(const EventObject& event);

}  // namespace audio_host
