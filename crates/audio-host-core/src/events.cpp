#include "events.h"

#include <atomic>
#include <mutex>

#include "json.h"
#include "std_streams.h"
#include "stream_format.h"

namespace audio_host {
namespace {

// Set once an event line could not be written.
std::atomic<bool> g_event_output_failed{false};

}  // namespace

void EventObject::set(std::string key, EventValue value) {
  members_.insert_or_assign(std::move(key), std::move(value));
}

std::string EventObject::to_json() const {
  JsonWriter writer;
  writer.begin_object();
  for (const auto& [key, value] : members_) {
    writer.key(key);
    if (const auto* text = std::get_if<std::string>(&value)) {
      writer.string(*text);
    } else {
      writer.number(std::get<std::uint64_t>(value));
    }
  }
  writer.end_object();
  return std::move(writer).text();
}

EventObject format_event(std::string_view backend) {
  EventObject event;
  event.set("event", std::string("format"));
  event.set("backend", std::string(backend));
  event.set("sampleRate", std::uint64_t{kPcmSampleRate});
  event.set("channels", std::uint64_t{kPcmChannels});
  event.set("sampleFormat", std::string("s16le"));
  return event;
}

EventObject error_event(std::string_view message) {
  EventObject event;
  event.set("event", std::string("error"));
  event.set("code", std::string("capture_failed"));
  event.set("message", std::string(message));
  return event;
}

vantle::Status write_event_line(const EventObject& event) {
  using vantle::StandardStream;
  std::string line = event.to_json();
  line.push_back('\n');
  std::lock_guard<std::mutex> lock(vantle::standard_stream_lock(StandardStream::error));
  if (g_event_output_failed.load(std::memory_order_relaxed)) {
    return vantle::make_error("standard error is no longer writable");
  }
  // Without a standard error handle the line is dropped and the run goes on.
  const vantle::WriteStatus written =
      vantle::write_all(StandardStream::error, line.data(), line.size());
  if (!written.ok()) {
    g_event_output_failed.store(true, std::memory_order_relaxed);
  }
  return written.status();
}

}  // namespace audio_host
