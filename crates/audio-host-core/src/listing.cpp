#include "listing.h"

#include <mutex>
#include <utility>

#include "std_streams.h"

namespace audio_host {

ApplicationEntry make_application_entry(std::uint32_t pid, std::string exe,
                                        std::uint64_t start_time, PathRules rules, bool active) {
  ApplicationEntry entry;
  entry.id = "pid:" + std::to_string(pid);
  entry.label = std::string(executable_label(exe, rules));
  entry.exe = std::move(exe);
  entry.start_time = start_time;
  entry.active = active;
  return entry;
}

void write_application_entry(JsonWriter& writer, const ApplicationEntry& entry) {
  writer.begin_object();
  writer.key("id");
  writer.string(entry.id);
  writer.key("label");
  writer.string(entry.label);
  writer.key("exe");
  writer.string(entry.exe);
  writer.key("start_time");
  writer.number(entry.start_time);
  writer.key("active");
  writer.boolean(entry.active);
  writer.end_object();
}

std::string application_list_json(const std::vector<ApplicationEntry>& entries) {
  JsonWriter writer;
  writer.begin_array();
  for (const ApplicationEntry& entry : entries) {
    write_application_entry(writer, entry);
  }
  writer.end_array();
  return std::move(writer).text();
}

vantle::Status write_application_list(const std::vector<ApplicationEntry>& entries) {
  using vantle::StandardStream;
  const std::string text = application_list_json(entries);
  const std::lock_guard<std::mutex> lock(vantle::standard_stream_lock(StandardStream::output));
  return vantle::write_all(StandardStream::output, text.data(), text.size(),
                           vantle::MissingStream::fail)
      .status();
}

}  // namespace audio_host
