// The run sequence: takes a parsed request to success or an error message.
// Everything here runs on the main thread.
#pragma once

#include "command_line.h"
#include "result.h"

namespace audio_host {

vantle::Status run_request(const HostRequest& request);

}  // namespace audio_host
