// Text conversion, shared by every place that turns text from the system
// into the UTF-8 the host writes: UTF-16 from Windows (paths, system
// messages, arguments) and UTF-8 byte strings from Linux (arguments, paths,
// which may be any bytes there), and UTF-8 into UTF-16 for a Windows
// console. One decoder each way; the lossy forms replace what is not text
// with U+FFFD, the strict forms refuse it. Pure functions; usable from any
// thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantle {

// Appends one code point as UTF-8.
void append_utf8(std::string& out, char32_t code_point);

// Decodes UTF-16 units; an unpaired surrogate becomes U+FFFD.
// `Unit` is any 16-bit character type (char16_t, or wchar_t on Windows).
template <class Unit>
std::string utf16_to_utf8_lossy(const Unit* units, std::size_t count);

// Decodes UTF-16 units; nullopt when a surrogate is unpaired.
template <class Unit>
std::optional<std::string> utf16_to_utf8_strict(const Unit* units, std::size_t count);

// One step of the UTF-8 decoder: the sequence at the start of `bytes`
// (which is not empty). Well-formed means shortest form, no surrogate,
// nothing above U+10FFFF. An ill-formed sequence has no code point, and its
// length is that of its maximal subpart (the longest start of a well-formed
// sequence, at least one byte): each is one U+FFFD in the lossy forms, as
// Unicode recommends.
struct Utf8Sequence {
  std::optional<char32_t> code_point;
  std::size_t length = 1;
};
Utf8Sequence decode_utf8_sequence(std::string_view bytes);

// Whether `text` is well-formed UTF-8 throughout.
bool is_valid_utf8(std::string_view text);

// `bytes` with every ill-formed sequence replaced by U+FFFD; valid text is
// unchanged.
std::string utf8_lossy(std::string_view bytes);

// Decodes UTF-8 bytes to UTF-16; every ill-formed sequence becomes U+FFFD.
std::u16string utf8_to_utf16_lossy(std::string_view text);

// ----------------------------------------------------------------------------

namespace detail {
// Walks UTF-16 units, calling `emit` with each code point; an unpaired
// surrogate is reported as nullopt.
template <class Unit, class Emit>
void decode_utf16(const Unit* units, std::size_t count, Emit&& emit) {
  static_assert(sizeof(Unit) == 2, "UTF-16 units are 16 bits wide");
  std::size_t i = 0;
  while (i < count) {
    const auto unit = static_cast<std::uint16_t>(units[i]);
    if (unit < 0xD800 || unit > 0xDFFF) {
      emit(std::optional<char32_t>(unit));
      ++i;
      continue;
    }
    if (unit <= 0xDBFF && i + 1 < count) {
      const auto next = static_cast<std::uint16_t>(units[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        emit(std::optional<char32_t>(0x10000 + ((char32_t(unit) - 0xD800) << 10) +
                                     (char32_t(next) - 0xDC00)));
        i += 2;
        continue;
      }
    }
    emit(std::optional<char32_t>());
    ++i;
  }
}
}  // namespace detail

template <class Unit>
std::string utf16_to_utf8_lossy(const Unit* units, std::size_t count) {
  std::string out;
  out.reserve(count);
  detail::decode_utf16(
      units, count, [&](std::optional<char32_t> cp) { append_utf8(out, cp.value_or(U'\uFFFD')); });
  return out;
}

template <class Unit>
std::optional<std::string> utf16_to_utf8_strict(const Unit* units, std::size_t count) {
  std::string out;
  out.reserve(count);
  bool valid = true;
  detail::decode_utf16(units, count, [&](std::optional<char32_t> cp) {
    if (cp) {
      append_utf8(out, *cp);
    } else {
      valid = false;
    }
  });
  if (!valid) {
    return std::nullopt;
  }
  return out;
}

}  // namespace vantle
