// The stand-in's log: one file per activation, named by STANDIN_LOOPBACK_LOG
// when the activation begins, opened for appending and kept open until the
// activation's last object is gone. The line format is described in
// standin_protocol.h.
//
// Threads: the host's threads, the completion thread and the timer thread
// all write. A mutex serialises the writes; each line goes out with one
// WriteFile call (no buffering of our own), so lines stay whole and a reader
// sees them at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "native/owners.h"

namespace standin_loopback {

// The name under which an interface ID is logged.
std::string iid_text(const GUID& iid);

// One log line being put together; values are escaped as they are added.
class LogEvent {
 public:
  explicit LogEvent(std::string_view event);

  LogEvent& text(std::string_view key, std::string_view value);
  LogEvent& number(std::string_view key, std::uint64_t value);
  LogEvent& hresult(std::string_view key, HRESULT value);
  LogEvent& hex(std::string_view key, std::uint32_t value);
  LogEvent& yes_no(std::string_view key, bool value);
  LogEvent& iid(std::string_view key, const GUID& value);

  const std::string& line() const { return line_; }

 private:
  std::string line_;
};

class Log {
 public:
  // An empty path gives a log that drops every line (so does a file that
  // cannot be opened: the tests then fail on the missing lines).
  explicit Log(const std::wstring& path);
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Adds t_ms and tid and writes the line.
  void write(const LogEvent& event);

  // Calls `make_event` and writes its line under the log's lock, so that
  // changes made inside it (a reference count) appear in the log in the
  // order they happened, whichever threads made them.
  template <class MakeEvent>
  void write_in_order(MakeEvent&& make_event) {
    const std::lock_guard lock(mutex_);
    write_locked(make_event());
  }

 private:
  void write_locked(const LogEvent& event);

  std::mutex mutex_;
  audio_host::win::WinHandle file_;
  const std::chrono::steady_clock::time_point start_;
};

}  // namespace standin_loopback
