// The host's side of this program on POSIX systems: the host's file name,
// SIGINT as the stop signal (nothing to prepare), and catching the user's
// interrupt.
#include <signal.h>
#include <unistd.h>

#include "host_process.h"

namespace reference_client {
namespace {

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
  g_interrupted = 1;
}

}  // namespace

std::string host_file_name() {
  return "audio-host";
}

std::uint32_t current_process_id() {
  return static_cast<std::uint32_t>(::getpid());
}

void prepare_stop_signal() {}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  (void)::sigaction(SIGINT, &action, nullptr);
  (void)::sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
  return g_interrupted != 0;
}

}  // namespace reference_client
