#include "pulse/stream_rules.h"

#include "shared/process_property.h"

namespace audio_host::linux_host {

std::optional<std::uint32_t> stream_process_id(const char* stream_property,
                                               const char* client_property) {
  if (const auto own = parse_process_id_property(stream_property)) {
    return own;
  }
  return parse_process_id_property(client_property);
}

}  // namespace audio_host::linux_host
