// The doorbell on Linux: two non-blocking eventfds, waited on with ppoll.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

#include "doorbell.h"

namespace vantle_audio {
namespace {

// Never one of the standard descriptors: with standard output closed, an
// eventfd would otherwise take its number, and the PCM would go to it.
constexpr int kFirstFreeDescriptor = 3;

vantle::Result<vantle::UniqueFd> new_eventfd() {
  vantle::UniqueFd fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (fd && fd.get() < kFirstFreeDescriptor) {
    fd.reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, kFirstFreeDescriptor));
  }
  if (!fd) {
    return vantle::make_error(vantle::os_error_text(errno));
  }
  return fd;
}

// Adds one to the counter; a counter at its limit is rung already.
void signal_eventfd(int fd) {
  const std::uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

vantle::Result<Doorbell> Doorbell::create() {
  auto bell = new_eventfd();
  if (!bell) {
    return std::move(bell).take_error();
  }
  auto stop = new_eventfd();
  if (!stop) {
    return std::move(stop).take_error();
  }
  Doorbell doorbell;
  doorbell.bell_ = std::move(bell).value();
  doorbell.stop_ = std::move(stop).value();
  return doorbell;
}

void Doorbell::ring() const {
  signal_eventfd(bell_.get());
}

void Doorbell::stop() const {
  signal_eventfd(stop_.get());
}

Doorbell::Woken Doorbell::wait(std::optional<std::chrono::nanoseconds> timeout) const {
  timespec limit{};
  if (timeout) {
    const auto ns = timeout->count() < 0 ? 0 : timeout->count();
    limit.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    limit.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  }
  pollfd fds[2] = {{stop_.get(), POLLIN, 0}, {bell_.get(), POLLIN, 0}};
  const int ready = ::ppoll(fds, 2, timeout ? &limit : nullptr, nullptr);
  if (ready <= 0) {
    // Timed out, or interrupted by a signal: the caller looks at its work
    // again either way.
    return Woken::timed_out;
  }
  if (fds[0].revents != 0) {
    return Woken::stopped;
  }
  std::uint64_t count = 0;
  (void)::read(bell_.get(), &count, sizeof count);  // drains the counter
  return Woken::rung;
}

vantle::WriteStop Doorbell::write_stop() const {
  return vantle::WriteStop{stop_.get()};
}

}  // namespace vantle_audio
