#include "error_text.h"

namespace audio_host {

std::string compose_context_message(std::string_view context, std::string_view system_text) {
  std::string message(context);
  message += ": ";
  message += system_text;
  return message;
}

}  // namespace audio_host
