#include "process_identity.h"

namespace audio_host {

vantle::Status verify_selected_identity(const ProcessIdentity& identity,
                                        std::string_view expected_exe, std::uint64_t expected_start,
                                        PathRules rules) {
  return verify_identity_values(identity.exe(), identity.start_time(), expected_exe, expected_start,
                                rules);
}

}  // namespace audio_host
