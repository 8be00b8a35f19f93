// The DLL's exports: ActivateAudioInterfaceAsync, which checks the host's
// request, plays the scenario and completes on a thread of its own, and
// StandinLoopbackProtocolVersion, by which a test knows it got the stand-in.
//
// Threads: the caller's thread checks the request, creates the operation and
// starts the completion thread; the completion thread (one per activation,
// never joined, in the multithreaded apartment) creates the activated interface,
// calls the handler and lets go of its references. The session is shared
// through a shared_ptr; the operation locks its own outcome.
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>

#include "standin_objects.h"
#include "text.h"

namespace standin_loopback {
namespace {

namespace win = audio_host::win;

// One reference to an object of the host's (its completion handler, or what
// its QueryInterface gave), released once, with the count the object
// reports logged as "handler.Release returned=N".
template <class T>
class HandlerRef {
 public:
  HandlerRef() = default;
  // Takes over a reference the caller already holds.
  HandlerRef(std::shared_ptr<Session> session, T* object)
      : session_(std::move(session)), object_(object) {}
  // Adds a reference of its own, logged.
  static HandlerRef add_ref(std::shared_ptr<Session> session, T* object) {
    const ULONG returned = object->AddRef();
    session->log.write(LogEvent("handler.AddRef").number("returned", returned));
    return HandlerRef(std::move(session), object);
  }
  HandlerRef(HandlerRef&& other) noexcept
      : session_(std::move(other.session_)), object_(std::exchange(other.object_, nullptr)) {}
  HandlerRef& operator=(HandlerRef&&) = delete;
  HandlerRef(const HandlerRef&) = delete;
  HandlerRef& operator=(const HandlerRef&) = delete;
  ~HandlerRef() { reset(); }

  T* get() const { return object_; }

  void reset() {
    if (T* object = std::exchange(object_, nullptr)) {
      const ULONG returned = object->Release();
      session_->log.write(LogEvent("handler.Release").number("returned", returned));
    }
  }
  // "no-completion": the reference stays held for the life of the process.
  void keep_forever() {
    if (std::exchange(object_, nullptr) != nullptr) {
      session_->log.write(LogEvent("handler.kept"));
    }
  }

 private:
  std::shared_ptr<Session> session_;
  T* object_ = nullptr;
};

using CompletionHandler = IActivateAudioInterfaceCompletionHandler;

std::wstring environment_text(const wchar_t* name) {
  std::wstring value(256, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
    if (length < value.size()) {
      value.resize(length);  // 0 when absent
      return value;
    }
    value.resize(length);
  }
}

std::string blob_hex(const unsigned char* bytes, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0xF];
  }
  return text;
}

// Logs the request's fields into `event` and returns why it deviates from
// the host's contract, or null; `mode` receives the capture mode.
const char* check_request(const wchar_t* path, REFIID iid, const PROPVARIANT* params,
                          const CompletionHandler* handler, void* const* operation, LogEvent& event,
                          std::uint32_t& mode) {
  const char* reason = nullptr;
  auto deviates = [&reason](bool condition, const char* why) {
    if (condition && reason == nullptr) {
      reason = why;
    }
  };
  event.text("path", path == nullptr ? std::string("(null)")
                                     : vantle::utf16_to_utf8_lossy(path, wcslen(path)));
  deviates(path == nullptr || wcscmp(path, win::kProcessLoopbackDevicePath) != 0, "path");
  event.iid("iid", iid);
  deviates(!IsEqualGUID(iid, win::kIidAudioClient), "iid");
  event.yes_no("params", params != nullptr);
  deviates(params == nullptr, "params");
  if (params != nullptr) {
    event.number("vt", params->vt)
        .text("reserved", std::to_string(params->wReserved1) + ',' +
                              std::to_string(params->wReserved2) + ',' +
                              std::to_string(params->wReserved3));
    deviates(params->vt != VT_BLOB, "vt");
    deviates(params->wReserved1 != 0 || params->wReserved2 != 0 || params->wReserved3 != 0,
             "reserved");
  }
  if (params != nullptr && params->vt == VT_BLOB) {
    const BLOB& blob = params->blob;
    event.number("blob_size", blob.cbSize);
    deviates(blob.cbSize != sizeof(win::AudioClientActivationParams), "blob-size");
    deviates(blob.pBlobData == nullptr, "blob-data");
    if (blob.cbSize == sizeof(win::AudioClientActivationParams) && blob.pBlobData != nullptr) {
      win::AudioClientActivationParams block;
      std::memcpy(&block, blob.pBlobData, sizeof block);
      event.text("blob", blob_hex(blob.pBlobData, blob.cbSize))
          .number("activation_type", block.ActivationType)
          .number("pid", block.ProcessLoopbackParams.TargetProcessId)
          .number("mode", block.ProcessLoopbackParams.ProcessLoopbackMode);
      deviates(block.ActivationType != win::kActivationTypeProcessLoopback, "activation-type");
      deviates(block.ProcessLoopbackParams.TargetProcessId == 0, "pid");
      deviates(block.ProcessLoopbackParams.ProcessLoopbackMode > 1, "mode");
      mode = block.ProcessLoopbackParams.ProcessLoopbackMode;
    }
  }
  event.yes_no("handler", handler != nullptr).yes_no("operation_out", operation != nullptr);
  deviates(handler == nullptr, "handler");
  deviates(operation == nullptr, "operation-out");
  return reason;
}

// What the completion thread owns: the session, one operation reference and
// the handler reference the stand-in keeps.
struct Completion {
  std::shared_ptr<Session> session;
  win::ComPtr<Operation> operation;
  HandlerRef<CompletionHandler> handler;
};

// The completion thread's whole work.
void complete_activation(std::shared_ptr<Session> session, win::ComPtr<Operation> operation,
                         HandlerRef<CompletionHandler> handler) {
  const win::ComApartment apartment(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  const ScenarioId id = session->scenario.id();
  const std::uint32_t delay_ms = id == ScenarioId::kLateCompletion   ? kLateCompletionMs
                                 : id == ScenarioId::kSlowCompletion ? kSlowCompletionMs
                                                                     : 0;
  session->log.write(LogEvent("completion.start").number("delay_ms", delay_ms));
  if (delay_ms != 0) {
    Sleep(delay_ms);
  }

  if (id != ScenarioId::kHandlerReleased) {
    HRESULT activate_result = S_OK;
    win::ComPtr<IUnknown> activated;
    const char* name = "null";
    if (id == ScenarioId::kActivationDenied) {
      activate_result = static_cast<HRESULT>(session->scenario.info->code);
    } else if (id == ScenarioId::kNoAudioClient || id == ScenarioId::kAudioClientNull) {
      activated = PlainUnknown::create(session);
      name = "plain_unknown";
    } else if (id != ScenarioId::kNoInterface) {
      activated = win::ComPtr<IUnknown>::attach(AudioClient::create(session).detach());
      name = "audio_client";
    }
    operation->complete(activate_result, std::move(activated), name);

    IActivateAudioInterfaceAsyncOperation* passed =
        id == ScenarioId::kNullOperation ? nullptr : operation.get();
    const HRESULT returned = handler.get()->ActivateCompleted(passed);
    session->log.write(LogEvent("handler.ActivateCompleted")
                           .text("operation", passed != nullptr ? "yes" : "null")
                           .hresult("result", returned));
  }
  handler.reset();
  operation.reset();
  session->log.write(
      LogEvent("completion.end").number("audio_clients_alive", session->audio_clients_alive));
}

DWORD WINAPI completion_thread(void* parameter) {
  std::unique_ptr<Completion> completion(static_cast<Completion*>(parameter));
  complete_activation(std::move(completion->session), std::move(completion->operation),
                      std::move(completion->handler));
  return 0;
}

// A plain Win32 thread, not a detached std::thread: the mingw-w64 10 thread
// library recycles a detached thread's record while the thread still
// writes to it, and under load a new thread then started with a null
// argument.
bool start_completion_thread(std::unique_ptr<Completion> completion) {
  win::WinHandle thread(CreateThread(nullptr, 0, completion_thread, completion.get(), 0, nullptr));
  if (!thread) {
    return false;
  }
  static_cast<void>(completion.release());  // the thread owns it now
  return true;
}

}  // namespace

HRESULT activate_audio_interface(const WCHAR* path, REFIID iid, PROPVARIANT* params,
                                 IActivateAudioInterfaceCompletionHandler* handler,
                                 IActivateAudioInterfaceAsyncOperation** operation) {
  const std::wstring scenario_text = environment_text(kScenarioVariableW);
  const std::optional<Scenario> scenario =
      parse_scenario(vantle::utf16_to_utf8_lossy(scenario_text.data(), scenario_text.size()));
  const auto session =
      std::make_shared<Session>(scenario.value_or(Scenario{}), environment_text(kLogVariableW));
  if (operation != nullptr) {
    *operation = nullptr;
  }

  LogEvent request("activate");
  std::uint32_t mode = 0;
  const char* reason = check_request(path, iid, params, handler,
                                     reinterpret_cast<void* const*>(operation), request, mode);
  request.text("scenario", vantle::utf16_to_utf8_lossy(scenario_text.data(), scenario_text.size()));
  if (!scenario) {
    reason = "unknown-scenario";
  }
  const ScenarioId id = session->scenario.id();
  const HRESULT checked =
      checked_result(*session, Deviation(reason), id == ScenarioId::kActivateFails, S_OK, request);
  session->log.write(request);
  auto finish = [&session, operation](HRESULT result) {
    session->log.write(LogEvent("activate.return")
                           .hresult("result", result)
                           .yes_no("operation", operation != nullptr && *operation != nullptr));
    return result;
  };
  if (checked != S_OK) {
    return finish(checked);
  }
  session->mode = mode;
  if (id == ScenarioId::kNoOperation) {
    return finish(S_OK);
  }

  // As a system might: learn whether the handler may be called from any
  // thread. The stand-in calls it on its own thread either way.
  {
    IUnknown* agile = nullptr;
    const HRESULT query =
        handler->QueryInterface(win::kIidAgileObject, reinterpret_cast<void**>(&agile));
    session->log.write(LogEvent("handler.QueryInterface")
                           .iid("iid", win::kIidAgileObject)
                           .hresult("result", query)
                           .yes_no("object", agile != nullptr));
    HandlerRef<IUnknown> agile_reference(session, SUCCEEDED(query) ? agile : nullptr);
  }

  HandlerRef<CompletionHandler> kept = HandlerRef<CompletionHandler>::add_ref(session, handler);
  win::ComPtr<Operation> created = Operation::create(session);
  if (id == ScenarioId::kNoCompletion) {
    kept.keep_forever();
  } else {
    auto completion = std::make_unique<Completion>(Completion{session, created, std::move(kept)});
    if (!start_completion_thread(std::move(completion))) {
      return finish(E_OUTOFMEMORY);
    }
  }
  *operation = created.detach();
  return finish(S_OK);
}

}  // namespace standin_loopback

extern "C" HRESULT WINAPI
ActivateAudioInterfaceAsync(const WCHAR* path, REFIID iid, PROPVARIANT* params,
                            IActivateAudioInterfaceCompletionHandler* handler,
                            IActivateAudioInterfaceAsyncOperation** operation) {
  return standin_loopback::activate_audio_interface(path, iid, params, handler, operation);
}

extern "C" DWORD WINAPI StandinLoopbackProtocolVersion() {
  return standin_loopback::kProtocolVersion;
}
