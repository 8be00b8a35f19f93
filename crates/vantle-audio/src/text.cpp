#include "text.h"

namespace vantle_audio {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::u16string utf8_to_utf16_lossy(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto is_continuation = [&](std::size_t i) {
    return i < text.size() && (byte(i) & 0xC0) == 0x80;
  };
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = byte(i);
    char32_t cp = 0xFFFD;
    std::size_t length = 1;
    if (lead < 0x80) {
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF && is_continuation(i + 1)) {
      cp = (char32_t(lead & 0x1F) << 6) | (byte(i + 1) & 0x3F);
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF && is_continuation(i + 1) && is_continuation(i + 2)) {
      const char32_t value = (char32_t(lead & 0x0F) << 12) | (char32_t(byte(i + 1) & 0x3F) << 6) |
                             (byte(i + 2) & 0x3F);
      if (value >= 0x800 && (value < 0xD800 || value > 0xDFFF)) {
        cp = value;
        length = 3;
      }
    } else if (lead >= 0xF0 && lead <= 0xF4 && is_continuation(i + 1) && is_continuation(i + 2) &&
               is_continuation(i + 3)) {
      const char32_t value = (char32_t(lead & 0x07) << 18) | (char32_t(byte(i + 1) & 0x3F) << 12) |
                             (char32_t(byte(i + 2) & 0x3F) << 6) | (byte(i + 3) & 0x3F);
      if (value >= 0x10000 && value <= 0x10FFFF) {
        cp = value;
        length = 4;
      }
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += length;
  }
  return out;
}

}  // namespace vantle_audio
