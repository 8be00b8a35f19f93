#include "error_text.h"

#include <gtest/gtest.h>

#include <string>

namespace audio_host {
namespace {

TEST(ErrorText, HresultFromWin32) {
  EXPECT_EQ(hresult_from_win32(0), 0);
  EXPECT_EQ(static_cast<std::uint32_t>(hresult_from_win32(5)), 0x80070005u);
  EXPECT_EQ(static_cast<std::uint32_t>(hresult_from_win32(0x12345)), 0x80072345u);
  // Values that are negative as signed numbers are codes already.
  EXPECT_EQ(static_cast<std::uint32_t>(hresult_from_win32(0x88890004u)), 0x88890004u);
}

TEST(ErrorText, CodesAreEightUpperCaseHexDigits) {
  EXPECT_EQ(format_error_code(0), "0x00000000");
  EXPECT_EQ(format_error_code(static_cast<std::int32_t>(0x80070005u)), "0x80070005");
  EXPECT_EQ(format_error_code(static_cast<std::int32_t>(0x8889000Au)), "0x8889000A");
  EXPECT_EQ(format_error_code(-1), "0xFFFFFFFF");
}

TEST(ErrorText, TrailingWhiteSpaceIsTrimmedInnerKept) {
  const std::u16string text = u"Access denied.\r\n line two\t \x0b\x0c\r\n ";
  EXPECT_EQ(trimmed_length(text.data(), text.size()),
            std::u16string(u"Access denied.\r\n line two").size());
  const std::u16string blank = u" \t\r\n";
  EXPECT_EQ(trimmed_length(blank.data(), blank.size()), 0u);
  const std::u16string nbsp = u"x\u00a0";  // only ASCII white space is trimmed
  EXPECT_EQ(trimmed_length(nbsp.data(), nbsp.size()), 2u);
}

TEST(ErrorText, ComposesDescriptionCodeAndContext) {
  const auto denied = static_cast<std::int32_t>(0x80070005u);
  EXPECT_EQ(compose_system_error_text(denied, "Access denied."), "Access denied. (0x80070005)");
  EXPECT_EQ(compose_system_error_text(denied, ""), "0x80070005");
  EXPECT_EQ(compose_context_message("process snapshot",
                                    compose_system_error_text(denied, "Access denied.")),
            "process snapshot: Access denied. (0x80070005)");
  EXPECT_EQ(compose_context_message("capture event", compose_system_error_text(0, "")),
            "capture event: 0x00000000");
}

}  // namespace
}  // namespace audio_host
