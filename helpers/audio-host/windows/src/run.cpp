#include "run.h"

namespace audio_host {

vantle_audio::Status run_request(const HostRequest&) {
  return vantle_audio::make_error("this request is not supported by this build");
}

}  // namespace audio_host
