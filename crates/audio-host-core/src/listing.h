// The application listing of `--list`: one entry per process that can be
// captured, and the whole list as one compact JSON array on standard output.
// The entries give the translator what a capture request carries: the id is
// the form --target accepts, exe and start_time what --expected-exe and
// --expected-start are compared with.
//
// Pure functions over values; each host's native layer finds the processes.
// Main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "json.h"
#include "process_rules.h"
#include "result.h"

namespace audio_host {

// One element of the listing; the members are written in this order.
struct ApplicationEntry {
  std::string id;  // "pid:N"
  std::string label;
  std::string exe;
  std::uint64_t start_time = 0;  // the identity's creation time, unconverted
  bool active = false;           // plays audio now, where the host can tell

  friend bool operator==(const ApplicationEntry&, const ApplicationEntry&) = default;
};

ApplicationEntry make_application_entry(std::uint32_t pid, std::string exe,
                                        std::uint64_t start_time, PathRules rules,
                                        bool active = false);

void write_application_entry(JsonWriter& writer, const ApplicationEntry& entry);

// The whole listing as one compact JSON array, without a line feed.
std::string application_list_json(const std::vector<ApplicationEntry>& entries);

// Writes the array to standard output under its lock. A listing that reaches
// nobody has failed: a missing or invalid handle and a reader that is gone
// are errors, with the system's text for the write.
vantle::Status write_application_list(const std::vector<ApplicationEntry>& entries);

}  // namespace audio_host
