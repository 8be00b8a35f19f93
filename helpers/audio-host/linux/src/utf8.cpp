#include "utf8.h"

#include <cstddef>
#include <cstdint>

namespace audio_host {
namespace {

// The length of the well-formed sequence at `at`, or 0 with `*maximal` set to
// the length of the maximal subpart that is a prefix of a well-formed
// sequence (at least 1).
std::size_t sequence_length(std::string_view text, std::size_t at, std::size_t* maximal) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(at);
  *maximal = 1;
  if (lead < 0x80) {
    return 1;
  }
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) {
      low = 0xA0;  // no overlong forms
    } else if (lead == 0xED) {
      high = 0x9F;  // no surrogates
    }
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) {
      low = 0x90;
    } else if (lead == 0xF4) {
      high = 0x8F;  // nothing above U+10FFFF
    }
  } else {
    return 0;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) {
      return 0;
    }
    const std::uint8_t next = byte(at + i);
    const std::uint8_t lo = i == 1 ? low : 0x80;
    const std::uint8_t hi = i == 1 ? high : 0xBF;
    if (next < lo || next > hi) {
      return 0;
    }
    *maximal = i + 1;
  }
  return length;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t maximal = 0;
    const std::size_t length = sequence_length(text, at, &maximal);
    if (length == 0) {
      return false;
    }
    at += length;
  }
  return true;
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t at = 0;
  while (at < bytes.size()) {
    std::size_t maximal = 0;
    const std::size_t length = sequence_length(bytes, at, &maximal);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      at += maximal;
    } else {
      out.append(bytes.substr(at, length));
      at += length;
    }
  }
  return out;
}

}  // namespace audio_host
