#include "error_text.h"

namespace audio_host {

std::int32_t hresult_from_win32(std::uint32_t last_error) {
  const auto value = static_cast<std::int32_t>(last_error);
  if (value <= 0) {
    return value;
  }
  return static_cast<std::int32_t>(0x80070000u | (last_error & 0xFFFFu));
}

std::string format_error_code(std::int32_t code) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const auto value = static_cast<std::uint32_t>(code);
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) {
    text.push_back(kHex[(value >> shift) & 0xF]);
  }
  return text;
}

std::string compose_system_error_text(std::int32_t code, std::string_view description) {
  if (description.empty()) {
    return format_error_code(code);
  }
  std::string text(description);
  text += " (";
  text += format_error_code(code);
  text += ')';
  return text;
}

std::string compose_context_message(std::string_view context, std::string_view system_text) {
  std::string message(context);
  message += ": ";
  message += system_text;
  return message;
}

}  // namespace audio_host
