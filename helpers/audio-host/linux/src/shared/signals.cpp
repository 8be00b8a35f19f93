#include "shared/signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "shared/processes.h"

namespace audio_host::linux_host {
namespace {

sigset_t stop_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

vantle::Status take_stop_signals() {
  const sigset_t set = stop_signal_set();
  if (const int code = pthread_sigmask(SIG_BLOCK, &set, nullptr); code != 0) {
    return vantle::make_error(os_error_message("stop signals", code));
  }
  // Blocked first, so that none is lost in between: a pending stop signal
  // whose default is to end the process stays pending under SIG_DFL.
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    if (std::signal(number, SIG_DFL) == SIG_ERR) {
      return vantle::make_error(os_error_message("stop signals", errno));
    }
  }
  if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
    return vantle::make_error(os_error_message("stop signals", errno));
  }
  return vantle::Status::success();
}

vantle::Result<UniqueFd> open_stop_signal_fd() {
  const sigset_t set = stop_signal_set();
  const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd < 0) {
    return vantle::make_error(os_error_message("stop signals", errno));
  }
  return UniqueFd(fd);
}

bool read_stop_signal(int fd) {
  bool any = false;
  signalfd_siginfo info;
  while (true) {
    const ssize_t got = ::read(fd, &info, sizeof info);
    if (got == static_cast<ssize_t>(sizeof info)) {
      any = true;
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    return any;
  }
}

}  // namespace audio_host::linux_host
