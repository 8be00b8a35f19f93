#include "standin_objects.h"

namespace standin_loopback {

namespace win = audio_host::win;

// ---------------------------------------------------------------------------
// AudioClient

win::ComPtr<IAudioClient> AudioClient::create(std::shared_ptr<Session> session) {
  return win::ComPtr<IAudioClient>::attach(new AudioClient(std::move(session)));
}

AudioClient::AudioClient(std::shared_ptr<Session> session)
    : ComObject(session, "audio_client", win::kIidAudioClient),
      stream_(std::make_shared<Stream>(session)) {
  this->session().audio_clients_alive.fetch_add(1);
}

AudioClient::~AudioClient() {
  // Capture clients may keep the stream (and its queued packets), but no
  // signal comes once the audio client is gone.
  stream_->stop_timer("released");
  session().audio_clients_alive.fetch_sub(1);
}

HRESULT AudioClient::unexpected_call(const char* method) {
  LogEvent event(std::string("audio_client.") + method);
  const HRESULT result =
      checked_result(session(), Deviation("unexpected-call"), false, S_OK, event);
  session().log.write(event);
  return result;
}

HRESULT AudioClient::Initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags,
                                REFERENCE_TIME buffer_duration, REFERENCE_TIME periodicity,
                                const WAVEFORMATEX* format, LPCGUID session_guid) {
  return stream_->initialize(share_mode, flags, buffer_duration, periodicity, format, session_guid);
}

HRESULT AudioClient::GetBufferSize(UINT32* frames) {
  return stream_->get_buffer_size(frames);
}

HRESULT AudioClient::GetStreamLatency(REFERENCE_TIME*) {
  return unexpected_call("GetStreamLatency");
}

HRESULT AudioClient::GetCurrentPadding(UINT32*) {
  return unexpected_call("GetCurrentPadding");
}

HRESULT AudioClient::IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                       WAVEFORMATEX** closest) {
  if (closest != nullptr) {
    *closest = nullptr;
  }
  return unexpected_call("IsFormatSupported");
}

HRESULT AudioClient::GetMixFormat(WAVEFORMATEX** format) {
  if (format != nullptr) {
    *format = nullptr;
  }
  return unexpected_call("GetMixFormat");
}

HRESULT AudioClient::GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) {
  return unexpected_call("GetDevicePeriod");
}

HRESULT AudioClient::Start() {
  return stream_->start();
}

HRESULT AudioClient::Stop() {
  return stream_->stop();
}

HRESULT AudioClient::Reset() {
  return unexpected_call("Reset");
}

HRESULT AudioClient::SetEventHandle(HANDLE event) {
  return stream_->set_event_handle(event);
}

HRESULT AudioClient::GetService(REFIID iid, void** out) {
  LogEvent event("audio_client.GetService");
  event.iid("iid", iid);
  const Deviation deviation = stream_->service_deviation(iid, out);
  const ScenarioId id = session().scenario.id();
  const HRESULT result =
      checked_result(session(), deviation, id == ScenarioId::kServiceFails, S_OK, event);
  if (out != nullptr) {
    *out = nullptr;
  }
  if (result == S_OK && id != ScenarioId::kServiceNull) {
    *out = CaptureClient::create(shared_session(), stream_).detach();
  }
  event.text("object", out != nullptr && *out != nullptr ? "capture_client" : "null");
  session().log.write(event);
  return result;
}

// ---------------------------------------------------------------------------
// CaptureClient

win::ComPtr<IAudioCaptureClient> CaptureClient::create(std::shared_ptr<Session> session,
                                                       std::shared_ptr<Stream> stream) {
  return win::ComPtr<IAudioCaptureClient>::attach(
      new CaptureClient(std::move(session), std::move(stream)));
}

CaptureClient::CaptureClient(std::shared_ptr<Session> session, std::shared_ptr<Stream> stream)
    : ComObject(std::move(session), "capture_client", win::kIidAudioCaptureClient),
      stream_(std::move(stream)) {}

HRESULT CaptureClient::GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                                 UINT64* performance_position) {
  return stream_->get_buffer(data, frames, flags, device_position, performance_position);
}

HRESULT CaptureClient::ReleaseBuffer(UINT32 frames) {
  return stream_->release_buffer(frames);
}

HRESULT CaptureClient::GetNextPacketSize(UINT32* frames) {
  return stream_->get_next_packet_size(frames);
}

// ---------------------------------------------------------------------------
// PlainUnknown

win::ComPtr<IUnknown> PlainUnknown::create(std::shared_ptr<Session> session) {
  return win::ComPtr<IUnknown>::attach(new PlainUnknown(std::move(session)));
}

PlainUnknown::PlainUnknown(std::shared_ptr<Session> session)
    : ComObject(std::move(session), "plain_unknown", IID_IUnknown) {}

HRESULT PlainUnknown::query_other(REFIID iid, void** out) {
  *out = nullptr;
  if (session().scenario.id() == ScenarioId::kAudioClientNull &&
      IsEqualGUID(iid, win::kIidAudioClient)) {
    return S_OK;  // a broken object: success without an interface
  }
  return E_NOINTERFACE;
}

// ---------------------------------------------------------------------------
// Operation

win::ComPtr<Operation> Operation::create(std::shared_ptr<Session> session) {
  return win::ComPtr<Operation>::attach(new Operation(std::move(session)));
}

Operation::Operation(std::shared_ptr<Session> session)
    : ComObject(std::move(session), "operation", win::kIidActivateAudioInterfaceAsyncOperation) {}

void Operation::complete(HRESULT activate_result, win::ComPtr<IUnknown> activated,
                         const char* name) {
  const std::lock_guard lock(mutex_);
  completed_ = true;
  activate_result_ = activate_result;
  activated_ = std::move(activated);
  activated_name_ = name;
}

HRESULT Operation::GetActivateResult(HRESULT* activate_result, IUnknown** activated) {
  LogEvent event("operation.GetActivateResult");
  const std::lock_guard lock(mutex_);
  const Deviation deviation =
      Deviation()
          .when(activate_result == nullptr || activated == nullptr, "null-out", E_POINTER)
          .when(!completed_, "not-completed", static_cast<HRESULT>(kHresultIllegalMethodCall));
  const ScenarioId id = session().scenario.id();
  const HRESULT result =
      checked_result(session(), deviation, id == ScenarioId::kActivateResultFails, S_OK, event);
  if (activated != nullptr) {
    *activated = nullptr;
  }
  if (result == S_OK) {
    if (id == ScenarioId::kActivationDenied) {
      // The call works; the activation did not. Its error object (or none)
      // is what the host finds on this thread for the activation result.
      session().inject_failure();
    }
    *activate_result = activate_result_;
    win::ComPtr<IUnknown> handed_out = activated_;
    *activated = handed_out.detach();
    event.hresult("activate_result", activate_result_).text("interface", activated_name_);
  }
  session().log.write(event);
  return result;
}

}  // namespace standin_loopback
