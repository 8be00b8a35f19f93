// The portable half of the host's error messages: how a failed platform call
// becomes "context: description (0xXXXXXXXX)". The Windows half (reading
// GetLastError, the COM error object and FormatMessageW) is in
// native/system_error.h and feeds these functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace audio_host {

// GetLastError's value as an HRESULT: 0x8007xxxx for a positive value, 0 for
// 0, a negative value unchanged.
std::int32_t hresult_from_win32(std::uint32_t last_error);

// "0x" and eight upper-case hex digits of the value taken as unsigned.
std::string format_error_code(std::int32_t code);

// The length of `units` without its trailing white space (U+0009 to U+000D
// and U+0020). `Unit` is a 16-bit character type.
template <class Unit>
std::size_t trimmed_length(const Unit* units, std::size_t count) {
  while (count > 0) {
    const auto unit = static_cast<std::uint16_t>(units[count - 1]);
    if (unit != 0x20 && (unit < 0x09 || unit > 0x0D)) {
      break;
    }
    --count;
  }
  return count;
}

// "description (0x........)", or the code alone when the description is empty.
std::string compose_system_error_text(std::int32_t code, std::string_view description);

// "context: system text".
std::string compose_context_message(std::string_view context, std::string_view system_text);

}  // namespace audio_host
