#include "native/system_error.h"

#include <gtest/gtest.h>

#include <atomic>

#include "error_text.h"
#include "text.h"

namespace audio_host::win {
namespace {

// What FormatMessageW says for a code, trimmed: the expected description.
// (Wine's texts differ from Windows', so tests never hard-code them.)
std::string formatted(DWORD code) {
  wchar_t buffer[2048];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, buffer, 2048, nullptr);
  length = static_cast<DWORD>(trimmed_length(buffer, length));
  return vantle::utf16_to_utf8_lossy(buffer, length);
}

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

TEST(SystemErrorText, SystemMessagesForLastErrorCodes) {
  SetLastError(ERROR_ACCESS_DENIED);
  const SystemError denied = SystemError::from_last_error();
  EXPECT_EQ(static_cast<std::uint32_t>(denied.code()), 0x80070005u);
  ASSERT_FALSE(formatted(0x80070005u).empty());
  EXPECT_EQ(system_error_text(denied), formatted(0x80070005u) + " (0x80070005)");
  EXPECT_EQ(context_message("process snapshot", denied),
            "process snapshot: " + formatted(0x80070005u) + " (0x80070005)");

  // A failure without a code still gives a message.
  SetLastError(0);
  const SystemError none = SystemError::from_last_error();
  EXPECT_EQ(none.code(), 0);
  EXPECT_EQ(system_error_text(none), compose_system_error_text(0, formatted(0)));
  EXPECT_NE(system_error_text(none).find("0x00000000"), std::string::npos);
}

TEST(SystemErrorText, UnknownCodeHasTheCodeAlone) {
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(system_error_text(SystemError::from_hresult(static_cast<HRESULT>(0xA0001234u))),
            "0xA0001234");
}

TEST(SystemErrorText, NtStatusCodesAreLookedUpAndKeepTheirCode) {
  SetErrorInfo(0, nullptr);
  // STATUS_ACCESS_DENIED wrapped as an HRESULT (facility bit 0x10000000).
  const std::string text =
      system_error_text(SystemError::from_hresult(static_cast<HRESULT>(0xD0000022u)));
  EXPECT_TRUE(text.ends_with("0xD0000022")) << text;
}

ComPtr<IErrorInfo> make_error_object(const wchar_t* description) {
  ComPtr<ICreateErrorInfo> create;
  EXPECT_EQ(CreateErrorInfo(create.put()), S_OK);
  create->SetDescription(const_cast<wchar_t*>(description));
  ComPtr<IErrorInfo> info;
  EXPECT_EQ(create.query(IID_IErrorInfo, info), S_OK);
  return info;
}

TEST(SystemErrorText, ErrorObjectDescriptionReplacesSystemText) {
  ASSERT_EQ(SetErrorInfo(0, make_error_object(L"The device said no.\r\n").get()), S_OK);
  const SystemError error = SystemError::from_hresult(E_ACCESSDENIED);
  EXPECT_EQ(system_error_text(error), "The device said no. (0x80070005)");
  // The object was taken over: the thread has none left.
  ComPtr<IErrorInfo> left;
  EXPECT_EQ(GetErrorInfo(0, left.put()), S_FALSE);

  ASSERT_EQ(SetErrorInfo(0, make_error_object(L"").get()), S_OK);
  EXPECT_EQ(system_error_text(SystemError::from_hresult(E_FAIL)), "0x80004005");
}

// An error object that also offers the restricted interface.
class RestrictedError final : public IErrorInfo, public IRestrictedErrorInfo {
 public:
  RestrictedError(const wchar_t* plain, const wchar_t* restricted)
      : plain_(plain), restricted_(restricted) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
      *out = static_cast<IErrorInfo*>(this);
    } else if (iid == kIidRestrictedErrorInfo) {
      *out = static_cast<IRestrictedErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // lives on the stack
  HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
    *guid = GUID_NULL;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) override {
    *source = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
    *description = SysAllocString(L"from GetDescription");
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* file) override {
    *file = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
    *context = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restricted,
                                            BSTR* sid) override {
    *description = plain_ ? SysAllocString(plain_) : nullptr;
    *error = E_FAIL;
    *restricted = restricted_ ? SysAllocString(restricted_) : nullptr;
    *sid = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) override {
    *reference = nullptr;
    return S_OK;
  }
  ULONG refs() const { return refs_; }

 private:
  const wchar_t* plain_;
  const wchar_t* restricted_;
  std::atomic<ULONG> refs_{1};
};

TEST(SystemErrorText, RestrictedDescriptionComesFirst) {
  struct Case {
    const wchar_t* plain;
    const wchar_t* restricted;
    const char* expected;
  };
  const Case cases[] = {
      {L"plain", L"restricted ", "restricted (0x80004005)"},
      {L"plain", L"", "plain (0x80004005)"},
      {L"plain", nullptr, "plain (0x80004005)"},
      {nullptr, nullptr, "from GetDescription (0x80004005)"},
  };
  for (const Case& c : cases) {
    RestrictedError object(c.plain, c.restricted);
    ASSERT_EQ(SetErrorInfo(0, &object), S_OK);
    {
      const SystemError error = SystemError::from_hresult(E_FAIL);
      EXPECT_EQ(system_error_text(error), c.expected);
    }
    EXPECT_EQ(object.refs(), 1u) << "every reference taken was given back";
  }
}

}  // namespace
}  // namespace audio_host::win
