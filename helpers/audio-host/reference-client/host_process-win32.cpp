// The host's side of this program on Windows: the host's file name, the
// console that Ctrl+C (the stop signal) needs, and catching the user's
// interrupt.
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "host_process.h"

namespace reference_client {
namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI on_console_signal(DWORD) {
  g_interrupted.store(true);
  return TRUE;  // handled: this program stops the capture itself
}

}  // namespace

std::string host_file_name() {
  return "audio-host.exe";
}

std::uint32_t current_process_id() {
  return GetCurrentProcessId();
}

void prepare_stop_signal() {
  // Ctrl+C reaches the processes of one console: take one of our own, which
  // the host started after this shares.
  if (const vantle::Status prepared = vantle::prepare_stop_signal(); !prepared) {
    std::fprintf(stderr, "reference-client: %s\n", prepared.error().c_str());
  }
  // Asked before the handler installed above.
  (void)SetConsoleCtrlHandler(on_console_signal, TRUE);
}

void catch_interrupts() {
  (void)SetConsoleCtrlHandler(on_console_signal, TRUE);
}

bool interrupted() {
  return g_interrupted.load();
}

}  // namespace reference_client
