// The capture run with the native PipeWire backend, from the connection
// on: what run.cpp does for the libpulse backend, in the same order. Main
// thread. (Until the run sequence calls backends through one interface,
// run.cpp hands a capture here when the backend choice says PipeWire.)
#pragma once

#include "native/processes.h"
#include "process_rules.h"
#include "result.h"
#include "stream_rules.h"

namespace audio_host::pipewire_host {

// Sets up the backend, starts the capture pipeline, announces the format
// and captures until a stop; every end releases the backend (links,
// stream, connection) before the pipeline stops. `selected` is null for a
// system capture. The stop signals must already be blocked.
vantle::Status run_node_link_capture(const CaptureSelection& selection, ProcessTable& table,
                                     const linux_host::ProcessIdentity& translator,
                                     const linux_host::ProcessIdentity* selected);

}  // namespace audio_host::pipewire_host
