#include "native/loopback_activation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "native/system_error.h"

namespace audio_host::win {
namespace {

using namespace std::chrono_literals;

// A COM object for tests: counts its references and answers the IIDs it is
// told to, as itself. It lives on the test's stack.
class FakeObject : public IAudioClient {
 public:
  explicit FakeObject(bool is_audio_client) : is_audio_client_(is_audio_client) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || (is_audio_client_ && iid == kIidAudioClient)) {
      *object = static_cast<IAudioClient*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
  HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                       const WAVEFORMATEX*, LPCGUID) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*,
                                              WAVEFORMATEX**) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Start() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }

  ULONG references() const { return references_; }

 private:
  bool is_audio_client_;
  std::atomic<ULONG> references_{1};
};

// An activation operation with a scripted answer.
class FakeOperation : public IActivateAudioInterfaceAsyncOperation {
 public:
  FakeOperation(HRESULT call_result, HRESULT activate_result, IUnknown* activated)
      : call_result_(call_result), activate_result_(activate_result), activated_(activated) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activate_result,
                                              IUnknown** activated) override {
    EXPECT_EQ(*activate_result, E_FAIL) << "preset to E_FAIL";
    EXPECT_EQ(*activated, nullptr) << "preset to null";
    if (FAILED(call_result_)) {
      return call_result_;
    }
    *activate_result = activate_result_;
    *activated = activated_;
    if (activated_ != nullptr) {
      activated_->AddRef();
    }
    return S_OK;
  }

 private:
  HRESULT call_result_;
  HRESULT activate_result_;
  IUnknown* activated_;
};

struct Harness {
  ActivationChannel::Ends channel = ActivationChannel::create();
  ActivationChannel::Receiver receiver = std::move(channel.receiver);
  ComPtr<ActivationCompletionHandler> handler = ActivationCompletionHandler::create(
      std::move(channel.sender), std::make_unique<AudioClientActivationParams>());
};

std::string system_text(HRESULT code) {
  SetErrorInfo(0, nullptr);
  return system_error_text(SystemError::from_hresult(code));
}

TEST(ActivationCompletionHandler, QueryInterfaceTable) {
  Harness h;
  IInspectable* identity = h.handler->identity();
  struct Case {
    GUID iid;
    void* expected;
  };
  const Case cases[] = {
      {IID_IUnknown, identity},
      {kIidInspectable, identity},
      {kIidAgileObject, identity},
      {kIidActivateAudioInterfaceCompletionHandler, h.handler->completion_interface()},
  };
  for (const Case& c : cases) {
    void* object = nullptr;
    // Asked through either table, the answer is the same.
    ASSERT_EQ(h.handler->completion_interface()->QueryInterface(c.iid, &object), S_OK);
    EXPECT_EQ(object, c.expected);
    static_cast<IUnknown*>(object)->Release();
    ASSERT_EQ(identity->QueryInterface(c.iid, &object), S_OK);
    EXPECT_EQ(object, c.expected);
    static_cast<IUnknown*>(object)->Release();
  }

  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(identity->QueryInterface(kIidAudioClient, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(identity->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  const IID* volatile no_iid = nullptr;
  EXPECT_EQ(identity->QueryInterface(*no_iid, &object), E_POINTER);

  // All references given out were given back: ours is the only one left.
  EXPECT_EQ(h.handler->AddRef(), 2u);
  EXPECT_EQ(h.handler->Release(), 1u);
}

TEST(ActivationCompletionHandler, MarshalsFreeThreadedAndAnswersForItself) {
  const auto com = initialize_com_mta();
  ASSERT_TRUE(com.ok()) << com.error();
  {
    Harness h;
    ComPtr<IMarshal> marshal;
    ASSERT_EQ(h.handler->identity()->QueryInterface(kIidMarshal, marshal.put_void()), S_OK);
    ASSERT_TRUE(marshal);
    ComPtr<IUnknown> back;
    ASSERT_EQ(marshal.query(IID_IUnknown, back), S_OK);
    EXPECT_EQ(back.get(), static_cast<IUnknown*>(h.handler->identity()));
    // The free-threaded marshaler's class.
    CLSID clsid{};
    ASSERT_EQ(marshal->GetUnmarshalClass(kIidActivateAudioInterfaceCompletionHandler,
                                         h.handler->completion_interface(), MSHCTX_INPROC, nullptr,
                                         MSHLFLAGS_NORMAL, &clsid),
              S_OK);
    // The wrapper keeps the handler alive after our own reference is gone.
    back.reset();
    h.handler.reset();
    EXPECT_FALSE(h.receiver.receive(0ms).has_value());
    ComPtr<IAgileObject> agile;
    EXPECT_EQ(marshal.query(kIidAgileObject, agile), S_OK);
  }
}

TEST(ActivationCompletionHandler, WeakReferenceResolvesOnlyWhileAlive) {
  Harness h;
  ComPtr<IWeakReferenceSource> source;
  ASSERT_EQ(h.handler->identity()->QueryInterface(kIidWeakReferenceSource, source.put_void()),
            S_OK);
  ComPtr<IWeakReference> weak;
  ASSERT_EQ(source->GetWeakReference(weak.put()), S_OK);
  source.reset();

  ComPtr<IInspectable> strong;
  ASSERT_EQ(weak->Resolve(kIidInspectable, strong.put()), S_OK);
  EXPECT_EQ(strong.get(), h.handler->identity());
  strong.reset();

  h.handler.reset();  // the last strong reference
  ASSERT_EQ(weak->Resolve(kIidInspectable, strong.put()), S_OK);
  EXPECT_FALSE(strong);
}

TEST(ActivationCompletionHandler, InspectableMethodsReportNothing) {
  Harness h;
  IInspectable* identity = h.handler->identity();
  ULONG count = 7;
  IID* iids = reinterpret_cast<IID*>(8);
  EXPECT_EQ(identity->GetIids(&count, &iids), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(iids, nullptr);
  HSTRING name = reinterpret_cast<HSTRING>(8);
  EXPECT_EQ(identity->GetRuntimeClassName(&name), S_OK);
  EXPECT_EQ(name, nullptr);
  TrustLevel level = FullTrust;
  EXPECT_EQ(identity->GetTrustLevel(&level), S_OK);
  EXPECT_EQ(level, BaseTrust);
  EXPECT_EQ(identity->GetIids(nullptr, &iids), E_POINTER);
  EXPECT_EQ(identity->GetIids(&count, nullptr), E_POINTER);
  EXPECT_EQ(identity->GetRuntimeClassName(nullptr), E_POINTER);
  EXPECT_EQ(identity->GetTrustLevel(nullptr), E_POINTER);
}

TEST(ActivationCompletionHandler, ActivateCompletedDeliversEachOutcome) {
  FakeObject client(/*is_audio_client=*/true);
  FakeObject not_a_client(/*is_audio_client=*/false);
  struct Case {
    const char* name;
    HRESULT call_result;
    HRESULT activate_result;
    IUnknown* activated;
    std::string expected_error;  // empty: the client arrives
  };
  const Case cases[] = {
      {"call fails", E_OUTOFMEMORY, S_OK, nullptr,
       "activation result: " + system_text(E_OUTOFMEMORY)},
      {"activation refused", S_OK, E_ACCESSDENIED, nullptr,
       "process-loopback activation (requires supported Windows build): " +
           system_text(E_ACCESSDENIED)},
      {"no interface", S_OK, S_OK, nullptr, "activated interface missing"},
      {"not an audio client", S_OK, S_OK, &not_a_client,
       "audio client: " + system_text(E_NOINTERFACE)},
      {"success", S_OK, S_OK, &client, ""},
  };
  for (const Case& c : cases) {
    Harness h;
    FakeOperation operation(c.call_result, c.activate_result, c.activated);
    SetErrorInfo(0, nullptr);
    EXPECT_EQ(h.handler->ActivateCompleted(&operation), S_OK) << c.name;
    auto outcome = h.receiver.receive(0ms);
    ASSERT_TRUE(outcome.has_value()) << c.name;
    if (c.expected_error.empty()) {
      ASSERT_TRUE(outcome->ok()) << c.name;
      EXPECT_EQ(outcome->value().get(), static_cast<IAudioClient*>(&client));
    } else {
      ASSERT_FALSE(outcome->ok()) << c.name;
      EXPECT_EQ(outcome->error(), c.expected_error) << c.name;
    }
  }
  // Every reference the handler took was given back.
  EXPECT_EQ(client.references(), 1u);
  EXPECT_EQ(not_a_client.references(), 1u);

  Harness h;
  EXPECT_EQ(h.handler->ActivateCompleted(nullptr), S_OK);
  auto missing = h.receiver.receive(0ms);
  ASSERT_TRUE(missing.has_value());
  EXPECT_EQ(missing->error(), "activation operation missing");
}

TEST(ActivationChannel, WaitsSendsAndDiscardsLateOutcomes) {
  // Nothing sent: the wait ends after its time-out.
  {
    auto ends = ActivationChannel::create();
    EXPECT_FALSE(ends.receiver.receive(20ms).has_value());
  }
  // The sender goes without sending: the wait ends at once.
  {
    auto ends = ActivationChannel::create();
    std::optional<ActivationChannel::Sender> sender(std::move(ends.sender));
    std::thread drop([&] {
      std::this_thread::sleep_for(20ms);
      sender.reset();
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(ends.receiver.receive(60s).has_value());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);
    drop.join();
  }
  // An outcome sent from another thread arrives.
  {
    FakeObject client(true);
    auto ends = ActivationChannel::create();
    std::thread send([&] { ends.sender.send(ComPtr<IAudioClient>::borrow(&client)); });
    auto outcome = ends.receiver.receive(60s);
    send.join();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->value().get(), static_cast<IAudioClient*>(&client));
  }
  // A late outcome, after the receiver has gone, is released at once.
  {
    FakeObject client(true);
    auto ends = ActivationChannel::create();
    ActivationChannel::Sender sender = std::move(ends.sender);
    { ActivationChannel::Receiver gone = std::move(ends.receiver); }
    sender.send(ComPtr<IAudioClient>::borrow(&client));
    EXPECT_EQ(client.references(), 1u);
  }
  // An outcome that arrived after the wait ended goes with the receiver.
  {
    FakeObject client(true);
    auto ends = ActivationChannel::create();
    ActivationChannel::Sender sender = std::move(ends.sender);
    std::optional<ActivationChannel::Receiver> receiver(std::move(ends.receiver));
    EXPECT_FALSE(receiver->receive(0ms).has_value());
    sender.send(ComPtr<IAudioClient>::borrow(&client));
    EXPECT_EQ(client.references(), 2u);
    receiver.reset();
    EXPECT_EQ(client.references(), 1u);
  }
}

}  // namespace
}  // namespace audio_host::win

namespace audio_host::win {
namespace {

// Wine's own audio system answers every process-loopback activation with
// "file not found" through the completion: the whole asynchronous path, a
// real completion thread and the error text composed there.
TEST(ActivateProcessLoopback, PlatformRefusalArrivesThroughTheCompletion) {
  const auto com = initialize_com_mta();
  ASSERT_TRUE(com.ok()) << com.error();
  {
    auto client = activate_process_loopback(GetCurrentProcessId(), LoopbackMode::include_tree);
    ASSERT_FALSE(client.ok());
    EXPECT_EQ(
        client.error().rfind("process-loopback activation (requires supported Windows build): ", 0),
        0u)
        << client.error();
    EXPECT_TRUE(client.error().ends_with("(0x80070002)")) << client.error();
  }
}

}  // namespace
}  // namespace audio_host::win
