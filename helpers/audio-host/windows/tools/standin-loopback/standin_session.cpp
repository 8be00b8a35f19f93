#include "standin_session.h"

#include "text.h"

namespace standin_loopback {

HRESULT Session::inject_failure() const {
  const auto code = static_cast<HRESULT>(scenario.info->code);
  audio_host::win::ComPtr<IErrorInfo> error_object;
  if (scenario.error_info) {
    audio_host::win::ComPtr<ICreateErrorInfo> create;
    if (SUCCEEDED(CreateErrorInfo(create.put()))) {
      const std::string description = error_description(scenario.info->failing_call);
      const std::u16string wide = vantle::utf8_to_utf16_lossy(description);
      std::wstring text(wide.begin(), wide.end());
      create->SetDescription(text.data());
      create.query(IID_IErrorInfo, error_object);
    }
  }
  SetErrorInfo(0, error_object.get());
  return code;
}

HRESULT checked_result(const Session& session, const Deviation& deviation, bool inject,
                       HRESULT success, LogEvent& event) {
  HRESULT result = success;
  if (deviation) {
    SetErrorInfo(0, nullptr);
    result = deviation.answer();
  } else if (inject) {
    result = session.inject_failure();
  }
  event.text("contract", deviation ? deviation.reason() : "ok").hresult("result", result);
  return result;
}

}  // namespace standin_loopback
