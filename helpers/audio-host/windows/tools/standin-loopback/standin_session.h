// What one activation shares among the objects it hands out and the threads
// it starts: the scenario, the capture mode, the log and a count of live
// audio clients. ActivateAudioInterfaceAsync creates it; every object and
// thread of that activation holds it through a shared_ptr, so it lives until
// the last of them is gone. The scenario and mode are fixed before any other
// thread sees the session; the log locks itself; the count is atomic.
//
// Also here: ComObject, the reference counting and QueryInterface shared by
// the stand-in's COM objects. Each object owns itself (it is deleted when its
// count reaches zero) and logs every AddRef, Release and QueryInterface; the
// count changes under the log's lock, so its lines follow the count's order.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "native/owners.h"
#include "standin_log.h"
#include "standin_protocol.h"

namespace standin_loopback {

struct Session {
  Session(Scenario scenario_in, const std::wstring& log_path)
      : scenario(scenario_in), log(log_path) {}

  // The scenario's failure: sets (with "+error-info") or clears the calling
  // thread's error object and returns the scenario's code.
  HRESULT inject_failure() const;

  const Scenario scenario;
  std::uint32_t mode = 0;  // set by the activation before any object exists
  Log log;
  std::atomic<int> audio_clients_alive{0};
};

// How a call deviates from what the host must do, if it does: the reason
// logged as contract=REASON and what the stand-in answers. A call that
// Windows refuses gets the code Windows gives for it; a call that is merely
// outside the host's request (another format, other flags, position
// pointers), which the stand-in cannot play, gets E_INVALIDARG. Either way
// the call changes nothing, except where the answer is a success (then the
// caller does what Windows does).
class Deviation {
 public:
  Deviation() = default;
  explicit Deviation(const char* reason, HRESULT answer = E_INVALIDARG)
      : reason_(reason), answer_(answer) {}

  // Records `reason` and `answer` when `condition` holds and no earlier
  // check did, so the first failing check wins.
  Deviation& when(bool condition, const char* reason, HRESULT answer = E_INVALIDARG) {
    if (condition && reason_ == nullptr) {
      reason_ = reason;
      answer_ = answer;
    }
    return *this;
  }

  explicit operator bool() const { return reason_ != nullptr; }
  const char* reason() const { return reason_; }
  HRESULT answer() const { return answer_; }

 private:
  const char* reason_ = nullptr;
  HRESULT answer_ = E_INVALIDARG;
};

// The result of a checked call: the deviation's answer (which also clears
// the thread's error object), else the scenario's failure (when `inject`),
// else `success`. Adds contract= and result= to `event`.
HRESULT checked_result(const Session& session, const Deviation& deviation, bool inject,
                       HRESULT success, LogEvent& event);

template <class Interface>
class ComObject : public Interface {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) {
      return E_POINTER;
    }
    HRESULT result = S_OK;
    // Every object of the stand-in is free-threaded, as the system's are.
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, interface_iid_) ||
        IsEqualGUID(iid, audio_host::win::kIidAgileObject)) {
      AddRef();
      *out = static_cast<Interface*>(this);
    } else {
      result = query_other(iid, out);
    }
    session_->log.write(LogEvent(std::string(log_name_) + ".QueryInterface")
                            .iid("iid", iid)
                            .hresult("result", result));
    return result;
  }

  ULONG STDMETHODCALLTYPE AddRef() override {
    ULONG refs = 0;
    session_->log.write_in_order([&] {
      refs = refs_.fetch_add(1) + 1;
      return LogEvent(std::string(log_name_) + ".AddRef").number("refs", refs);
    });
    return refs;
  }

  // The count changes under the log's lock: the last Release line of an
  // object is the one that says refs=0.
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG refs = 0;
    session_->log.write_in_order([&] {
      refs = refs_.fetch_sub(1) - 1;
      return LogEvent(std::string(log_name_) + ".Release").number("refs", refs);
    });
    if (refs == 0) {
      delete this;
    }
    return refs;
  }

 protected:
  // The object starts with one reference, its creator's.
  ComObject(std::shared_ptr<Session> session, const char* log_name, const GUID& interface_iid)
      : session_(std::move(session)), log_name_(log_name), interface_iid_(interface_iid) {}
  virtual ~ComObject() = default;

  // Interfaces beyond IUnknown, the object's own and IAgileObject.
  virtual HRESULT query_other(REFIID, void** out) {
    *out = nullptr;
    return E_NOINTERFACE;
  }

  Session& session() const { return *session_; }
  const std::shared_ptr<Session>& shared_session() const { return session_; }
  const char* log_name() const { return log_name_; }

 private:
  const std::shared_ptr<Session> session_;
  const char* const log_name_;
  const GUID& interface_iid_;
  std::atomic<ULONG> refs_{1};
};

}  // namespace standin_loopback
