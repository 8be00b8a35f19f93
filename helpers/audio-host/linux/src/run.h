// The Linux host's run sequence: takes a parsed request to success or an
// error message. Everything here runs on the main thread; the capture
// worker is started and joined here.
#pragma once

#include "command_line.h"
#include "events.h"
#include "result.h"

namespace audio_host {

// The format event with this host's backend.
EventObject linux_format_event();

vantle_audio::Status run_request(const HostRequest& request);

}  // namespace audio_host
