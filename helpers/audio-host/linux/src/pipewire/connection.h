// The connection to the PipeWire server the environment names: the
// library, one main loop run by the host's main thread, a context and the
// core (the connection itself), with the core's error event for a broken
// connection turned into the connection's end.
//
// Threads: the main loop, the core and every callback registered here
// belong to the main thread, which creates the connection and iterates its
// loop. The context also starts PipeWire's data thread, where only a
// capture stream's process callback runs (see capture_stream.h).
//
// PipeWire's own log is off (standard error carries only the host's event
// lines), whatever PIPEWIRE_DEBUG or the configuration ask for.
//
// Ownership: the connection owns the library's initialisation, the loop
// (entered by the main thread), the context and the core, and releases the
// core (disconnect), the context, the loop's entry, the loop and then the
// library, in that order. Whoever creates proxies, streams or loop sources
// on it releases them before the connection goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "pipewire/owners.h"
#include "result.h"

namespace audio_host::pipewire_host {

class PipeWireConnection {
 public:
  // Connects (never starting a server) and makes one round trip within
  // `timeout_ms`. Errors: "connect to sound server: ...".
  static vantle::Result<std::unique_ptr<PipeWireConnection>> connect(std::uint64_t timeout_ms);

  PipeWireConnection(const PipeWireConnection&) = delete;
  PipeWireConnection& operator=(const PipeWireConnection&) = delete;
  ~PipeWireConnection();

  pw_loop* loop() const { return pw_main_loop_get_loop(main_loop_.get()); }
  pw_core* core() const { return core_.get(); }

  // Runs the loop once: waits up to `timeout_ms` (-1: without end) for
  // events and dispatches them. Error: "context: ..." when the wait fails.
  vantle::Status iterate(std::string_view context, int timeout_ms);

  // Runs the loop until the server has answered everything asked before.
  // Errors: "context: " and the connection's end, or a time-out.
  vantle::Status round_trip(std::string_view context, std::uint64_t timeout_ms);

  // Whether the connection has ended (the server went away, or it refused
  // the connection), and the server's text for it, one line.
  bool lost() const { return !lost_text_.empty(); }
  const std::string& lost_text() const { return lost_text_; }

  // Called, from the loop, once when the connection ends. Replaces the
  // previous callback.
  void on_lost(void (*callback)(void* userdata), void* userdata) {
    lost_callback_ = callback;
    lost_userdata_ = userdata;
  }

 private:
  PipeWireConnection() = default;
  static void core_done(void* userdata, std::uint32_t id, int seq);
  static void core_error(void* userdata, std::uint32_t id, int seq, int res, const char* message);

  // Released in reverse: the core first, the library last.
  LibraryUse library_;
  UniqueMainLoop main_loop_;
  LoopEntry entry_;
  UniqueContext context_;
  UniqueCore core_;
  Listener core_listener_;
  int done_seq_ = -1;
  std::string lost_text_;
  void (*lost_callback_)(void*) = nullptr;
  void* lost_userdata_ = nullptr;
};

// "context: text", the way the host's error events read.
std::string pipewire_message(std::string_view context, std::string_view text);

}  // namespace audio_host::pipewire_host
