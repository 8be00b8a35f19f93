#include "utf8.h"

#include <gtest/gtest.h>

namespace audio_host {
namespace {

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
  }
}

}  // namespace
}  // namespace audio_host
