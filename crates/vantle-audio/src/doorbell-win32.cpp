// The doorbell on Windows: an auto-reset event and a manual-reset event,
// waited on together.
#include <windows.h>

#include <cstdint>

#include "doorbell.h"

namespace vantle_audio {

vantle::Result<Doorbell> Doorbell::create() {
  Doorbell doorbell;
  doorbell.bell_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!doorbell.bell_) {
    return vantle::make_error(vantle::os_error_text(static_cast<std::int32_t>(GetLastError())));
  }
  doorbell.stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!doorbell.stop_) {
    return vantle::make_error(vantle::os_error_text(static_cast<std::int32_t>(GetLastError())));
  }
  return doorbell;
}

void Doorbell::ring() const {
  (void)SetEvent(bell_.get());
}

void Doorbell::stop() const {
  (void)SetEvent(stop_.get());
}

Doorbell::Woken Doorbell::wait(std::optional<std::chrono::nanoseconds> timeout) const {
  DWORD milliseconds = INFINITE;
  if (timeout) {
    // Rounded up: a wait that ends before its time only comes back to wait
    // for the rest.
    const auto ns = timeout->count() < 0 ? 0 : timeout->count();
    const auto rounded = (ns + 999'999) / 1'000'000;
    milliseconds = rounded >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(rounded);
  }
  const HANDLE handles[2] = {stop_.get(), bell_.get()};
  switch (WaitForMultipleObjects(2, handles, FALSE, milliseconds)) {
    case WAIT_OBJECT_0:
      return Woken::stopped;
    case WAIT_OBJECT_0 + 1:
      return Woken::rung;
    default:
      return Woken::timed_out;
  }
}

vantle::WriteStop Doorbell::write_stop() const {
  return vantle::WriteStop{};
}

}  // namespace vantle_audio
