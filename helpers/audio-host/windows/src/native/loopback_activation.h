// Activation of a process-loopback audio client.
//
// Threads: activate_process_loopback runs on the main thread, which has
// joined the multithreaded apartment. The platform calls the completion
// handler once, on a thread of its own choosing, and may hold and release
// references to the handler from any thread, also after
// activate_process_loopback has returned. The two threads share only the
// handler's atomic reference count and the one-slot channel that carries
// the outcome; the activation parameter block belongs to the handler.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "native/owners.h"
#include "result.h"

namespace audio_host::win {

using vantle::Result;

using ActivationOutcome = Result<ComPtr<IAudioClient>>;

// A one-slot hand-off of the activation outcome from the completion thread
// to the waiting thread. Sending never blocks. An outcome that arrives when
// nobody waits any more is discarded, which releases its audio client.
class ActivationChannel {
 public:
  class Sender;
  class Receiver;
  struct Ends;
  static Ends create();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<ActivationOutcome> outcome;
    bool sender_gone = false;
    bool receiver_gone = false;
  };
};

class ActivationChannel::Sender {
 public:
  explicit Sender(std::shared_ptr<State> state) : state_(std::move(state)) {}
  Sender(Sender&&) = default;
  Sender& operator=(Sender&&) = delete;
  ~Sender();
  void send(ActivationOutcome outcome);

 private:
  std::shared_ptr<State> state_;
};

class ActivationChannel::Receiver {
 public:
  explicit Receiver(std::shared_ptr<State> state) : state_(std::move(state)) {}
  Receiver(Receiver&&) = default;
  Receiver& operator=(Receiver&&) = delete;
  ~Receiver();
  // The outcome, or nullopt when `timeout` passed (on a monotonic clock) or
  // the sender went away without sending.
  std::optional<ActivationOutcome> receive(std::chrono::milliseconds timeout);

 private:
  std::shared_ptr<State> state_;
};

struct ActivationChannel::Ends {
  Sender sender;
  Receiver receiver;
};

// The host's completion handler: an agile COM object with two interface
// tables, its IInspectable-shaped identity and the completion interface
// that is given to the platform. It owns the activation parameter block and
// the channel's sending end until its last reference goes.
class ActivationCompletionHandler final : public IInspectable,
                                          public IActivateAudioInterfaceCompletionHandler {
 public:
  // A new handler with a reference count of 1, owned by the returned pointer.
  static ComPtr<ActivationCompletionHandler> create(
      ActivationChannel::Sender sender, std::unique_ptr<AudioClientActivationParams> parameters);

  IActivateAudioInterfaceCompletionHandler* completion_interface() { return this; }
  IInspectable* identity() { return this; }

  // IUnknown (shared by both tables)
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IInspectable
  HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override;
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override;
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override;
  // IActivateAudioInterfaceCompletionHandler
  HRESULT STDMETHODCALLTYPE
  ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

  // A strong reference unless the count has already reached zero (for weak
  // references: a handler on its way out is never revived).
  bool try_add_ref();

 private:
  struct WeakLink;
  class WeakReference;
  class WeakReferenceSource;
  class MarshalWrapper;

  ActivationCompletionHandler(ActivationChannel::Sender sender,
                              std::unique_ptr<AudioClientActivationParams> parameters);
  ~ActivationCompletionHandler();

  std::shared_ptr<WeakLink> weak_link();

  ActivationChannel::Sender sender_;
  std::unique_ptr<AudioClientActivationParams> parameters_;
  std::atomic<ULONG> references_{1};
  std::once_flag weak_link_once_;
  std::shared_ptr<WeakLink> weak_link_;
};

// Which processes a loopback client hears: the target process and all it
// has started, or everything but them.
enum class LoopbackMode { include_tree, exclude_tree };

// Obtains a process-loopback audio client for `process_id` in `mode`. Blocks
// the calling thread for at most `timeout`.
Result<ComPtr<IAudioClient>> activate_process_loopback(
    std::uint32_t process_id, LoopbackMode mode,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace audio_host::win
