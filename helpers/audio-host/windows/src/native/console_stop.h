// The console stop signal: Ctrl+C, Ctrl+Break, closing the console window,
// logoff and shutdown each ask the capture to stop, and the capture ends
// normally (exit status 0) after its whole take-down.
//
// Threads: the system runs the handler on a thread it creates for each
// signal. The handler sets console_stop_requested(), which the packet loop
// on the main thread reads once per pass. After a close, logoff or shutdown
// signal the system ends the process as soon as the handler returns, so for
// those the handler keeps the signal's thread waiting, bounded below the
// system's 5 s limit, while the main thread takes everything down and ends
// the process with status 0 (which also ends the waiting thread).
#pragma once

#include <windows.h>

#include <atomic>

#include "result.h"

namespace audio_host::win {

// Set by the handler, never cleared.
std::atomic<bool>& console_stop_requested();

// How long the handler holds back the end of the process after a close,
// logoff or shutdown signal.
inline constexpr DWORD kConsoleCloseWaitMs = 4000;
static_assert(kConsoleCloseWaitMs < 5000, "the system ends the process after 5 s");

// What the handler does for one signal: request the stop; for close, logoff
// and shutdown, then wait `close_wait_ms`. Always TRUE, so the system's
// default handler (which ends the process at once) never runs.
BOOL handle_console_signal(DWORD control_type, DWORD close_wait_ms);

// The registered handler: handle_console_signal with kConsoleCloseWaitMs.
BOOL WINAPI console_stop_handler(DWORD control_type);

// Registers console_stop_handler for the rest of the process's life.
// Error: "console stop handler: ...".
vantle::Status install_console_stop_handler();

}  // namespace audio_host::win
