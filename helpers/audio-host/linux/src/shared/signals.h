// The stop signals of a capture: SIGINT, SIGTERM and SIGHUP end it normally.
//
// They are blocked first thing in main, before any other thread starts
// (every thread inherits the mask, so none of them takes the signal), and
// read from a signalfd that the capture backend's main loop watches. SIGPIPE is ignored
// for the whole process: a reader that goes away shows as EPIPE on the write.
// Main thread only.
#pragma once

#include "result.h"
#include "shared/owners.h"

namespace audio_host::linux_host {

// First thing in main, before any other thread exists: blocks SIGINT,
// SIGTERM and SIGHUP in the calling thread (a signal sent afterwards stays
// pending until the signalfd reads it, and a stop during start-up ends the
// capture normally once its loop runs), then gives them their default
// disposition (the translator may have left them ignored, and an ignored
// signal would be lost), and ignores SIGPIPE. Error: "stop signals: ...".
vantle::Status take_stop_signals();

// A non-blocking signalfd for the blocked stop signals. Error:
// "stop signals: ...".
vantle::Result<UniqueFd> open_stop_signal_fd();

// Whether a stop signal was read from `fd` (drains what is there).
bool read_stop_signal(int fd);

}  // namespace audio_host::linux_host
