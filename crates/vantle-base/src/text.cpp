#include "text.h"

namespace vantle {

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

Utf8Sequence decode_utf8_sequence(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) {
    return {lead, 1};
  }
  std::size_t length = 0;
  char32_t value = 0;
  // The range of the second byte; the later ones are always 80..BF.
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) {
      low = 0xA0;  // no overlong forms
    } else if (lead == 0xED) {
      high = 0x9F;  // no surrogates
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) {
      low = 0x90;
    } else if (lead == 0xF4) {
      high = 0x8F;  // nothing above U+10FFFF
    }
  } else {
    return {std::nullopt, 1};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (i >= bytes.size()) {
      return {std::nullopt, i};
    }
    const std::uint8_t next = byte(i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
      return {std::nullopt, i};
    }
    value = (value << 6) | (next & 0x3F);
  }
  return {value, length};
}

bool is_valid_utf8(std::string_view text) {
  while (!text.empty()) {
    const Utf8Sequence sequence = decode_utf8_sequence(text);
    if (!sequence.code_point) {
      return false;
    }
    text.remove_prefix(sequence.length);
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Sequence sequence = decode_utf8_sequence(bytes);
    if (sequence.code_point) {
      out.append(bytes.substr(0, sequence.length));
    } else {
      out += "\xEF\xBF\xBD";
    }
    bytes.remove_prefix(sequence.length);
  }
  return out;
}

std::u16string utf8_to_utf16_lossy(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const Utf8Sequence sequence = decode_utf8_sequence(text);
    const char32_t cp = sequence.code_point.value_or(U'\uFFFD');
    if (cp >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    text.remove_prefix(sequence.length);
  }
  return out;
}

}  // namespace vantle
