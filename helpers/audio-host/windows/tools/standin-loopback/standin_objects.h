// The COM objects the stand-in hands out: the activation's operation, the
// activated interface (an audio client, or for some scenarios a plain
// IUnknown) and the capture client. Each is created with one reference,
// which its creator owns (a ComPtr), and deletes itself when the last
// reference goes (ComObject). All are free-threaded: the host may call and
// release them from any thread in any order.
#pragma once

#include <memory>
#include <mutex>

#include "standin_session.h"
#include "standin_stream.h"

namespace standin_loopback {

class AudioClient final : public ComObject<IAudioClient> {
 public:
  static audio_host::win::ComPtr<IAudioClient> create(std::shared_ptr<Session> session);

  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags,
                                       REFERENCE_TIME buffer_duration, REFERENCE_TIME periodicity,
                                       const WAVEFORMATEX* format, LPCGUID session_guid) override;
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override;
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) override;
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) override;
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE share_mode,
                                              const WAVEFORMATEX* format,
                                              WAVEFORMATEX** closest) override;
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override;
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* default_period,
                                            REFERENCE_TIME* minimum_period) override;
  HRESULT STDMETHODCALLTYPE Start() override;
  HRESULT STDMETHODCALLTYPE Stop() override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override;
  HRESULT STDMETHODCALLTYPE GetService(REFIID iid, void** out) override;

 private:
  explicit AudioClient(std::shared_ptr<Session> session);
  ~AudioClient() override;
  HRESULT unexpected_call(const char* method);

  const std::shared_ptr<Stream> stream_;
};

class CaptureClient final : public ComObject<IAudioCaptureClient> {
 public:
  static audio_host::win::ComPtr<IAudioCaptureClient> create(std::shared_ptr<Session> session,
                                                             std::shared_ptr<Stream> stream);

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                      UINT64* device_position,
                                      UINT64* performance_position) override;
  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override;
  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override;

 private:
  CaptureClient(std::shared_ptr<Session> session, std::shared_ptr<Stream> stream);

  const std::shared_ptr<Stream> stream_;
};

// The activated interface of "no-audio-client" (answers IUnknown only) and
// "audio-client-null" (answers IAudioClient with S_OK and a null pointer).
class PlainUnknown final : public ComObject<IUnknown> {
 public:
  static audio_host::win::ComPtr<IUnknown> create(std::shared_ptr<Session> session);

 private:
  explicit PlainUnknown(std::shared_ptr<Session> session);
  HRESULT query_other(REFIID iid, void** out) override;
};

class Operation final : public ComObject<IActivateAudioInterfaceAsyncOperation> {
 public:
  static audio_host::win::ComPtr<Operation> create(std::shared_ptr<Session> session);

  HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activate_result,
                                              IUnknown** activated) override;

  // The outcome, set by the completion thread before it calls the handler.
  // `name` is how the activated object appears in the log.
  void complete(HRESULT activate_result, audio_host::win::ComPtr<IUnknown> activated,
                const char* name);

 private:
  explicit Operation(std::shared_ptr<Session> session);

  std::mutex mutex_;
  bool completed_ = false;
  HRESULT activate_result_ = E_FAIL;
  audio_host::win::ComPtr<IUnknown> activated_;
  const char* activated_name_ = "null";
};

}  // namespace standin_loopback
