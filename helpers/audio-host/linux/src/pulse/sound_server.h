// The connection to the sound server through libpulse's asynchronous API
// (PulseAudio, or PipeWire's PulseAudio service): one pa_mainloop and one
// pa_context, and the stream listing that `--list` uses.
//
// Threads: a connection belongs to the host's main thread, which runs its
// main loop; libpulse calls every callback from inside that loop, on that
// thread. Nothing here is shared with the capture worker.
//
// Ownership: the connection owns the main loop and the context and releases
// the context (disconnect, unref) before the main loop. Whoever adds events
// or streams to the loop releases them before the connection goes.
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "result.h"
#include "shared/applications.h"
#include "shared/owners.h"

namespace audio_host::linux_host {

// "context: <the server's text> (pulse error N)".
std::string pulse_message(std::string_view context, int pulse_error);

// Drops a context: no more callbacks, disconnected, unreferenced.
void disconnect_context(pa_context* context);

// Drops a stream: no more callbacks, disconnected if it was connecting or
// connected, then unreferenced.
void disconnect_stream(pa_stream* stream);
using UniqueStream = UniquePointer<pa_stream, &disconnect_stream>;

// The owners of what the connection's loop hands out: an operation (only
// its reference: the operation itself goes on), and a time or I/O event,
// freed through the loop's API.
using UniqueOperation = UniquePointer<pa_operation, &pa_operation_unref>;

struct TimeEventTraits {
  struct Value {
    pa_mainloop_api* api = nullptr;
    pa_time_event* event = nullptr;
  };
  static Value invalid() { return {}; }
  static bool is_valid(const Value& value) { return value.event != nullptr; }
  static void close(const Value& value) { value.api->time_free(value.event); }
};
using UniqueTimeEvent = vantle::UniqueResource<TimeEventTraits>;

struct IoEventTraits {
  struct Value {
    pa_mainloop_api* api = nullptr;
    pa_io_event* event = nullptr;
  };
  static Value invalid() { return {}; }
  static bool is_valid(const Value& value) { return value.event != nullptr; }
  static void close(const Value& value) { value.api->io_free(value.event); }
};
using UniqueIoEvent = vantle::UniqueResource<IoEventTraits>;

class SoundServerConnection {
 public:
  // Connects to the server the environment names (PULSE_SERVER, or the
  // user's runtime folder), never starting one (PA_CONTEXT_NOAUTOSPAWN), and
  // runs the loop until the context is ready. Errors: "connect to sound
  // server: ..." (also when `timeout_usec` passes first).
  static vantle::Result<std::unique_ptr<SoundServerConnection>> connect(std::uint64_t timeout_usec);

  SoundServerConnection(const SoundServerConnection&) = delete;
  SoundServerConnection& operator=(const SoundServerConnection&) = delete;
  ~SoundServerConnection();

  pa_mainloop* mainloop() const { return mainloop_.get(); }
  pa_mainloop_api* api() const { return pa_mainloop_get_api(mainloop_.get()); }
  pa_context* context() const { return context_.get(); }

  // Runs the main loop until `done()` holds (success), the context fails or
  // ends, or `timeout_usec` passes (both "context: ..." with the server's
  // error). `done` is asked before every iteration.
  vantle::Status iterate_until(const std::function<bool()>& done, std::uint64_t timeout_usec,
                               std::string_view context);

  // Called, from the loop, when the context fails or ends after it was
  // ready. Replaces the previous callback.
  void on_connection_lost(void (*callback)(void* userdata), void* userdata);

 private:
  SoundServerConnection() = default;
  static void context_state_changed(pa_context* context, void* userdata);

  UniquePointer<pa_mainloop, &pa_mainloop_free> mainloop_;
  UniquePointer<pa_context, &disconnect_context> context_;
  bool ready_ = false;
  void (*lost_callback_)(void*) = nullptr;
  void* lost_userdata_ = nullptr;
};

// Whether the server is PipeWire's PulseAudio service rather than
// PulseAudio (its server name says so). Error: "sound server information:
// ...".
vantle::Result<bool> runs_on_pipewire(SoundServerConnection& connection);

// The processes that have a playback stream on the server, each with whether
// one of its streams is not corked (stream_rules.h says whose a stream is;
// streams of unknown process are left out). Errors come from the server
// ("list playback streams: ...").
vantle::Result<PlayingProcesses> list_playback_processes(SoundServerConnection& connection);

}  // namespace audio_host::linux_host
