#include "native/loopback_activation.h"

#include <utility>

#include "native/system_error.h"

namespace audio_host::win {
namespace {

using vantle::make_error;

bool same_iid(REFIID a, const GUID& b) {
  return IsEqualGUID(a, b) != FALSE;
}

// COM passes the IID by reference, but a careless caller can still pass a
// null address; a volatile copy keeps the compiler from assuming otherwise.
bool is_null_address(REFIID iid) {
  const IID* volatile address = &iid;
  return address == nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// One-slot channel

ActivationChannel::Ends ActivationChannel::create() {
  auto state = std::make_shared<State>();
  return Ends{Sender(state), Receiver(state)};
}

ActivationChannel::Sender::~Sender() {
  if (!state_) {
    return;  // moved from
  }
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->sender_gone = true;
  state_->changed.notify_all();
}

void ActivationChannel::Sender::send(ActivationOutcome outcome) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (state_->receiver_gone || state_->outcome.has_value()) {
    lock.unlock();
    return;  // `outcome` is destroyed here: a late client is released
  }
  state_->outcome.emplace(std::move(outcome));
  state_->changed.notify_all();
}

ActivationChannel::Receiver::~Receiver() {
  if (!state_) {
    return;
  }
  std::optional<ActivationOutcome> unclaimed;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->receiver_gone = true;
    unclaimed.swap(state_->outcome);
  }
  // An outcome that came after the wait ended is released here, unlocked.
}

std::optional<ActivationOutcome> ActivationChannel::Receiver::receive(
    std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->changed.wait_until(lock, deadline,
                             [&] { return state_->outcome.has_value() || state_->sender_gone; });
  std::optional<ActivationOutcome> outcome;
  outcome.swap(state_->outcome);
  return outcome;
}

// ---------------------------------------------------------------------------
// Weak references

// Shared by the handler and every weak reference to it; `target` is cleared
// (under the mutex) before the handler is freed.
struct ActivationCompletionHandler::WeakLink {
  std::mutex mutex;
  ActivationCompletionHandler* target = nullptr;
};

// A small COM object of its own: reference counted, deleted at zero.
template <class Interface>
class RefCounted : public Interface {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return references_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = references_.fetch_sub(1) - 1;
    if (left == 0) {
      delete this;
    }
    return left;
  }

 protected:
  virtual ~RefCounted() = default;

 private:
  std::atomic<ULONG> references_{1};
};

class ActivationCompletionHandler::WeakReference final : public RefCounted<IWeakReference> {
 public:
  explicit WeakReference(std::shared_ptr<WeakLink> link) : link_(std::move(link)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr || is_null_address(iid)) {
      return E_POINTER;
    }
    if (same_iid(iid, IID_IUnknown) || same_iid(iid, kIidWeakReference)) {
      *object = static_cast<IWeakReference*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE Resolve(REFIID iid, IInspectable** object) override {
    if (object == nullptr || is_null_address(iid)) {
      return E_POINTER;
    }
    *object = nullptr;
    ComPtr<ActivationCompletionHandler> strong;
    {
      std::lock_guard<std::mutex> lock(link_->mutex);
      if (link_->target == nullptr || !link_->target->try_add_ref()) {
        return S_OK;  // the handler is gone: a null object, not an error
      }
      strong = ComPtr<ActivationCompletionHandler>::attach(link_->target);
    }
    return strong->QueryInterface(iid, reinterpret_cast<void**>(object));
  }

 private:
  std::shared_ptr<WeakLink> link_;
};

// Handed out for IWeakReferenceSource queries; keeps the handler alive while
// it exists, like any interface of the handler would.
class ActivationCompletionHandler::WeakReferenceSource final
    : public RefCounted<IWeakReferenceSource> {
 public:
  explicit WeakReferenceSource(ActivationCompletionHandler* handler)
      : handler_(ComPtr<ActivationCompletionHandler>::borrow(handler)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr || is_null_address(iid)) {
      return E_POINTER;
    }
    if (same_iid(iid, kIidWeakReferenceSource)) {
      *object = static_cast<IWeakReferenceSource*>(this);
      AddRef();
      return S_OK;
    }
    return handler_->QueryInterface(iid, object);  // the handler's identity
  }

  HRESULT STDMETHODCALLTYPE GetWeakReference(IWeakReference** weak_reference) override {
    if (weak_reference == nullptr) {
      return E_POINTER;
    }
    *weak_reference = new WeakReference(handler_->weak_link());
    return S_OK;
  }

 private:
  ComPtr<ActivationCompletionHandler> handler_;
};

// The free-threaded marshaler's IMarshal, answering for the handler: its
// QueryInterface leads back to the handler's identity, and it keeps the
// handler alive.
class ActivationCompletionHandler::MarshalWrapper final : public RefCounted<IMarshal> {
 public:
  MarshalWrapper(ActivationCompletionHandler* handler, ComPtr<IMarshal> marshaler)
      : handler_(ComPtr<ActivationCompletionHandler>::borrow(handler)),
        marshaler_(std::move(marshaler)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr || is_null_address(iid)) {
      return E_POINTER;
    }
    if (same_iid(iid, kIidMarshal)) {
      *object = static_cast<IMarshal*>(this);
      AddRef();
      return S_OK;
    }
    return handler_->QueryInterface(iid, object);
  }

  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID iid, void* pv, DWORD context, void* reserved,
                                              DWORD flags, CLSID* clsid) override {
    return marshaler_->GetUnmarshalClass(iid, pv, context, reserved, flags, clsid);
  }
  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID iid, void* pv, DWORD context, void* reserved,
                                              DWORD flags, DWORD* size) override {
    return marshaler_->GetMarshalSizeMax(iid, pv, context, reserved, flags, size);
  }
  HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID iid, void* pv, DWORD context,
                                             void* reserved, DWORD flags) override {
    return marshaler_->MarshalInterface(stream, iid, pv, context, reserved, flags);
  }
  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID iid, void** pv) override {
    return marshaler_->UnmarshalInterface(stream, iid, pv);
  }
  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override {
    return marshaler_->ReleaseMarshalData(stream);
  }
  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override {
    return marshaler_->DisconnectObject(reserved);
  }

 private:
  ComPtr<ActivationCompletionHandler> handler_;
  ComPtr<IMarshal> marshaler_;
};

// ---------------------------------------------------------------------------
// The handler

ComPtr<ActivationCompletionHandler> ActivationCompletionHandler::create(
    ActivationChannel::Sender sender, std::unique_ptr<AudioClientActivationParams> parameters) {
  return ComPtr<ActivationCompletionHandler>::attach(
      new ActivationCompletionHandler(std::move(sender), std::move(parameters)));
}

ActivationCompletionHandler::ActivationCompletionHandler(
    ActivationChannel::Sender sender, std::unique_ptr<AudioClientActivationParams> parameters)
    : sender_(std::move(sender)), parameters_(std::move(parameters)) {}

ActivationCompletionHandler::~ActivationCompletionHandler() = default;

std::shared_ptr<ActivationCompletionHandler::WeakLink> ActivationCompletionHandler::weak_link() {
  std::call_once(weak_link_once_, [this] {
    weak_link_ = std::make_shared<WeakLink>();
    weak_link_->target = this;
  });
  return weak_link_;
}

HRESULT ActivationCompletionHandler::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr || is_null_address(iid)) {
    return E_POINTER;
  }
  if (same_iid(iid, IID_IUnknown) || same_iid(iid, kIidInspectable) ||
      same_iid(iid, kIidAgileObject)) {
    *object = identity();
  } else if (same_iid(iid, kIidActivateAudioInterfaceCompletionHandler)) {
    *object = completion_interface();
  } else if (same_iid(iid, kIidMarshal)) {
    ComPtr<IUnknown> free_threaded;
    HRESULT result = CoCreateFreeThreadedMarshaler(nullptr, free_threaded.put());
    ComPtr<IMarshal> marshaler;
    if (SUCCEEDED(result)) {
      result = free_threaded.query(kIidMarshal, marshaler);
    }
    if (FAILED(result) || !marshaler) {
      *object = nullptr;
      return FAILED(result) ? result : E_NOINTERFACE;
    }
    *object = static_cast<IMarshal*>(new MarshalWrapper(this, std::move(marshaler)));
    return S_OK;  // the wrapper starts with the caller's reference
  } else if (same_iid(iid, kIidWeakReferenceSource)) {
    weak_link();  // created on the first request
    *object = static_cast<IWeakReferenceSource*>(new WeakReferenceSource(this));
    return S_OK;
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG ActivationCompletionHandler::AddRef() {
  return references_.fetch_add(1) + 1;
}

bool ActivationCompletionHandler::try_add_ref() {
  ULONG count = references_.load();
  while (count != 0) {
    if (references_.compare_exchange_weak(count, count + 1)) {
      return true;
    }
  }
  return false;
}

ULONG ActivationCompletionHandler::Release() {
  const ULONG left = references_.fetch_sub(1) - 1;
  if (left == 0) {
    if (weak_link_) {
      std::lock_guard<std::mutex> lock(weak_link_->mutex);
      weak_link_->target = nullptr;
    }
    // Drops the channel's sending end (a waiter without an outcome wakes up)
    // and frees the parameter block.
    delete this;
  }
  return left;
}

HRESULT ActivationCompletionHandler::GetIids(ULONG* count, IID** iids) {
  if (count == nullptr || iids == nullptr) {
    return E_POINTER;
  }
  *count = 0;
  *iids = nullptr;
  return S_OK;
}

HRESULT ActivationCompletionHandler::GetRuntimeClassName(HSTRING* name) {
  if (name == nullptr) {
    return E_POINTER;
  }
  *name = nullptr;
  return S_OK;
}

HRESULT ActivationCompletionHandler::GetTrustLevel(TrustLevel* level) {
  if (level == nullptr) {
    return E_POINTER;
  }
  *level = BaseTrust;
  return S_OK;
}

HRESULT ActivationCompletionHandler::ActivateCompleted(
    IActivateAudioInterfaceAsyncOperation* operation) {
  // Errors are composed here, on the completion thread, so that the thread's
  // COM error object is the one that belongs to the failure.
  const auto outcome = [&]() -> ActivationOutcome {
    if (operation == nullptr) {
      return make_error("activation operation missing");
    }
    HRESULT activate_result = E_FAIL;
    ComPtr<IUnknown> activated;
    const HRESULT call_result = operation->GetActivateResult(&activate_result, activated.put());
    if (FAILED(call_result)) {
      return make_error(
          context_message("activation result", SystemError::from_hresult(call_result)));
    }
    if (FAILED(activate_result)) {
      return make_error(
          context_message("process-loopback activation (requires supported Windows build)",
                          SystemError::from_hresult(activate_result)));
    }
    if (!activated) {
      return make_error("activated interface missing");
    }
    ComPtr<IAudioClient> client;
    const HRESULT query_result = activated.query(kIidAudioClient, client);
    if (FAILED(query_result)) {
      return make_error(context_message("audio client", SystemError::from_hresult(query_result)));
    }
    if (!client) {
      return make_error(context_message("audio client", SystemError::from_hresult(E_POINTER)));
    }
    return client;
  };
  sender_.send(outcome());
  return S_OK;
}

// ---------------------------------------------------------------------------

Result<ComPtr<IAudioClient>> activate_process_loopback(std::uint32_t process_id, LoopbackMode mode,
                                                       std::chrono::milliseconds timeout) {
  auto parameters = std::make_unique<AudioClientActivationParams>();
  parameters->ActivationType = kActivationTypeProcessLoopback;
  parameters->ProcessLoopbackParams.TargetProcessId = process_id;
  parameters->ProcessLoopbackParams.ProcessLoopbackMode = mode == LoopbackMode::include_tree
                                                              ? kLoopbackIncludeTargetProcessTree
                                                              : kLoopbackExcludeTargetProcessTree;

  // Lives on this stack for the call only; the block belongs to the handler.
  PROPVARIANT activation{};
  activation.vt = VT_BLOB;
  activation.blob.cbSize = sizeof(AudioClientActivationParams);
  activation.blob.pBlobData = reinterpret_cast<BYTE*>(parameters.get());

  ActivationChannel::Ends channel = ActivationChannel::create();
  ActivationChannel::Receiver receiver = std::move(channel.receiver);
  ComPtr<ActivationCompletionHandler> handler =
      ActivationCompletionHandler::create(std::move(channel.sender), std::move(parameters));

  ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
  const HRESULT result =
      ActivateAudioInterfaceAsync(kProcessLoopbackDevicePath, kIidAudioClient, &activation,
                                  handler->completion_interface(), operation.put());
  if (FAILED(result)) {
    return make_error(
        context_message("activate process loopback", SystemError::from_hresult(result)));
  }
  if (!operation) {
    return make_error(context_message("activate process loopback", SystemError::without_code()));
  }

  std::optional<ActivationOutcome> outcome = receiver.receive(timeout);
  // Release order: the operation, our handler reference, then the channel's
  // receiving end (the locals go in reverse order of declaration).
  operation.reset();
  handler.reset();
  if (!outcome) {
    return make_error("process-loopback activation timed out");
  }
  return std::move(*outcome);
}

}  // namespace audio_host::win
