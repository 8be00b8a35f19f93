#include "pipewire/connection.h"

#include <time.h>

#include <cerrno>

#include <spa/utils/result.h>

#include "error_text.h"
#include "shared/processes.h"

namespace audio_host::pipewire_host {
namespace {

using vantle::make_error;
using vantle::Result;
using vantle::Status;

constexpr std::string_view kConnectContext = "connect to sound server";

std::uint64_t monotonic_ms() {
  timespec now{};
  (void)clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000u;
}

// The server's text for an error: its message and, where that is not
// already it, the text of its error code.
std::string error_text(int res, const char* message) {
  const std::string code_text = spa_strerror(res);
  if (message == nullptr || message[0] == '\0') {
    return code_text;
  }
  std::string text = message;
  if (res != 0 && text != code_text) {
    text += " (" + code_text + ")";
  }
  // One line, whatever the server sent.
  for (char& c : text) {
    if (c == '\n' || c == '\r') {
      c = ' ';
    }
  }
  return text;
}

}  // namespace

void disconnect_core(pw_core* core) {
  (void)pw_core_disconnect(core);
}

std::string pipewire_message(std::string_view context, std::string_view text) {
  return compose_context_message(context, text);
}

Result<std::unique_ptr<PipeWireConnection>> PipeWireConnection::connect(std::uint64_t timeout_ms) {
  std::unique_ptr<PipeWireConnection> connection(new PipeWireConnection());
  pw_init(nullptr, nullptr);
  connection->library_.reset(true);
  // Standard error carries the host's event lines only: PipeWire's own log
  // stays off, whatever PIPEWIRE_DEBUG or the configuration ask for.
  pw_log_set_level(SPA_LOG_LEVEL_NONE);
  connection->main_loop_.reset(pw_main_loop_new(nullptr));
  if (!connection->main_loop_) {
    return make_error(linux_host::os_error_message(kConnectContext, errno));
  }
  connection->entry_.reset(connection->loop());
  pw_loop_enter(connection->loop());
  // The real-time configuration: the capture stream's process callback runs
  // on a data thread of real-time priority where the system allows it.
  connection->context_.reset(pw_context_new(
      connection->loop(), pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0));
  if (!connection->context_) {
    return make_error(linux_host::os_error_message(kConnectContext, errno));
  }
  pw_log_set_level(SPA_LOG_LEVEL_NONE);
  connection->core_.reset(pw_context_connect(connection->context_.get(), nullptr, 0));
  if (!connection->core_) {
    return make_error(linux_host::os_error_message(kConnectContext, errno));
  }
  static const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &PipeWireConnection::core_done;
    events.error = &PipeWireConnection::core_error;
    return events;
  }();
  pw_core_add_listener(connection->core(), connection->core_listener_.get(), &kCoreEvents,
                       connection.get());
  if (Status answered = connection->round_trip(kConnectContext, timeout_ms); !answered) {
    return make_error(answered.error());
  }
  return connection;
}

PipeWireConnection::~PipeWireConnection() {
  core_listener_.reset();
  core_.reset();
  context_.reset();
  entry_.reset();
  main_loop_.reset();
  library_.reset();
}

void PipeWireConnection::core_done(void* userdata, std::uint32_t id, int seq) {
  auto* self = static_cast<PipeWireConnection*>(userdata);
  if (id == PW_ID_CORE) {
    self->done_seq_ = seq;
  }
}

void PipeWireConnection::core_error(void* userdata, std::uint32_t id, int, int res,
                                    const char* message) {
  // Errors of other objects (a link the factory refused) go to their
  // proxies. The core's own errors answer one request (the server says
  // "unknown resource" to a message for an object it has just removed) and
  // the connection goes on, unless the error is the broken connection.
  auto* self = static_cast<PipeWireConnection*>(userdata);
  if (id != PW_ID_CORE || res != -EPIPE || self->lost()) {
    return;
  }
  self->lost_text_ = error_text(res, message);
  if (self->lost_callback_ != nullptr) {
    self->lost_callback_(self->lost_userdata_);
  }
}

Status PipeWireConnection::iterate(std::string_view context, int timeout_ms) {
  const int result = pw_loop_iterate(loop(), timeout_ms);
  if (result < 0 && result != -EINTR) {
    return make_error(linux_host::os_error_message(context, -result));
  }
  return Status::success();
}

Status PipeWireConnection::round_trip(std::string_view context, std::uint64_t timeout_ms) {
  const int seq = pw_core_sync(core(), PW_ID_CORE, 0);
  const std::uint64_t deadline = monotonic_ms() + timeout_ms;
  while (done_seq_ != seq) {
    if (lost()) {
      return make_error(pipewire_message(context, lost_text_));
    }
    const std::uint64_t now = monotonic_ms();
    if (now >= deadline) {
      return make_error(linux_host::os_error_message(context, ETIMEDOUT));
    }
    if (Status waited = iterate(context, static_cast<int>(deadline - now)); !waited) {
      return waited;
    }
  }
  return Status::success();
}

}  // namespace audio_host::pipewire_host
