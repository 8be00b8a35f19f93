// How a failed platform call becomes the host's message: a fixed context, a
// colon, a space and the system's error text, which each host composes in
// its own way (native/system_error.h on Windows; the OS error text of
// std_streams.h, or the sound server's text, on Linux).
#pragma once

#include <string>
#include <string_view>

namespace audio_host {

// "context: system text".
std::string compose_context_message(std::string_view context, std::string_view system_text);

}  // namespace audio_host
