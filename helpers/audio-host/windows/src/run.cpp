#include "run.h"

#include <variant>

#include "native/processes.h"

namespace audio_host {

vantle_audio::Status run_request(const HostRequest& request) {
  if (std::holds_alternative<ListApplications>(request)) {
    return win::list_applications();
  }
  return vantle_audio::make_error("this request is not supported by this build");
}

}  // namespace audio_host
