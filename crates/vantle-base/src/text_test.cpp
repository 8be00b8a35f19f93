#include "text.h"

#include <gtest/gtest.h>

namespace vantle {
namespace {

std::string lossy(const std::u16string& s) {
  return utf16_to_utf8_lossy(s.data(), s.size());
}
std::optional<std::string> strict(const std::u16string& s) {
  return utf16_to_utf8_strict(s.data(), s.size());
}

TEST(Utf16ToUtf8, DecodesAndReplacesUnpairedSurrogates) {
  struct Case {
    std::u16string in;
    std::string lossy;
    bool valid;
  };
  const Case cases[] = {
      {u"", "", true},
      {u"Z:\\tmp\\app.exe", "Z:\\tmp\\app.exe", true},
      {u"\u00e4\u20ac", "\xC3\xA4\xE2\x82\xAC", true},
      {u"\U0001F3B5", "\xF0\x9F\x8E\xB5", true},
      {std::u16string(1, char16_t(0xD83C)), "\xEF\xBF\xBD", false},  // lone high
      {std::u16string(1, char16_t(0xDFB5)), "\xEF\xBF\xBD", false},  // lone low
      {std::u16string{char16_t(0xD83C), u'a'},
       "\xEF\xBF\xBD"
       "a",
       false},  // high, no low
      {std::u16string{char16_t(0xDFB5), char16_t(0xD83C)}, "\xEF\xBF\xBD\xEF\xBF\xBD", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(lossy(c.in), c.lossy);
    EXPECT_EQ(strict(c.in).has_value(), c.valid);
    if (c.valid) {
      EXPECT_EQ(*strict(c.in), c.lossy);
    }
  }
}

TEST(Utf8ToUtf16, RoundTripsValidTextAndReplacesInvalidBytes) {
  const std::string text = "a\xC3\xA4\xE2\x82\xAC\xF0\x9F\x8E\xB5\n";
  const std::u16string wide = utf8_to_utf16_lossy(text);
  EXPECT_EQ(wide, u"a\u00e4\u20ac\U0001F3B5\n");
  EXPECT_EQ(lossy(wide), text);
  EXPECT_EQ(utf8_to_utf16_lossy("\xFF"
                                "a\xC3"),
            u"\uFFFDa\uFFFD");
  EXPECT_EQ(utf8_to_utf16_lossy("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
  EXPECT_EQ(utf8_to_utf16_lossy("\xC0\xAF"), u"\uFFFD\uFFFD");            // overlong
}

TEST(Utf8, ValidityAndLossyDecoding) {
  struct Case {
    std::string bytes;
    bool valid;
    std::string lossy;
  };
  const std::string r = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"", true, ""},
      {"/usr/bin/player", true, "/usr/bin/player"},
      {"/opt/\xC3\xA4pp/\xF0\x9F\x8E\xB5", true, "/opt/\xC3\xA4pp/\xF0\x9F\x8E\xB5"},
      {"a\xFF"
       "b",
       false, "a" + r + "b"},
      {"\xC0\xAF", false, r + r},                  // overlong '/'
      {"\xED\xA0\x80", false, r + r + r},          // a surrogate
      {"\xF4\x90\x80\x80", false, r + r + r + r},  // above U+10FFFF
      {"\xE2\x82", false, r},                      // truncated: one maximal subpart
      {"\xE2\x82"
       "x",
       false, r + "x"},
      {"\xF0\x9F\x8E", false, r},
      {"\x80\x80", false, r + r},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.bytes;
    EXPECT_EQ(utf8_lossy(c.bytes), c.lossy) << c.bytes;
    // The same decoder behind the UTF-16 form: the same replacements.
    const std::u16string wide = utf8_to_utf16_lossy(c.bytes);
    EXPECT_EQ(lossy(wide), c.lossy) << c.bytes;
  }
}

}  // namespace
}  // namespace vantle
