// The simulated capture stream behind one audio client: its state
// (initialised, event, started), the capture buffer of packets (at most
// kBufferFrames frames) and the timer thread that fills it and signals the
// host's event. The audio client and the capture clients it hands out are
// thin COM shells over it; each holds the stream through a shared_ptr.
//
// Threads: the host calls in from any thread; the timer thread (started by
// start(), joined by stop() or stop_timer()) queues packets. mutex_ guards
// the state and the queue, and also staging_, whose bytes the host then
// reads between get_buffer and release_buffer. The timer never
// holds a reference to the stream: the stream joins it before it goes.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "native/owners.h"
#include "standin_session.h"

namespace standin_loopback {

class Stream {
 public:
  explicit Stream(std::shared_ptr<Session> session);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // IAudioClient, logged as audio_client.*.
  HRESULT initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags, REFERENCE_TIME buffer_duration,
                     REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                     const GUID* session_guid);
  HRESULT get_buffer_size(UINT32* frames);
  // How GetService deviates from the contract, if it does.
  Deviation service_deviation(REFIID iid, void** out);
  HRESULT set_event_handle(HANDLE event);
  HRESULT start();
  HRESULT stop();
  // The audio client is gone: the timer stops, whatever the host did.
  void stop_timer(const char* reason);

  // IAudioCaptureClient, logged as capture_client.*.
  HRESULT get_next_packet_size(UINT32* frames);
  HRESULT get_buffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                     UINT64* performance_position);
  HRESULT release_buffer(UINT32 frames);

 private:
  struct Packet {
    std::uint64_t index = 0;     // 1-based, in the order queued
    std::uint64_t position = 0;  // of its first frame
    std::uint32_t frames = 0;
    std::uint32_t announced = 0;  // what GetNextPacketSize says
    std::uint32_t flags = 0;
    bool misaligned = false;
  };

  // The frames a packet takes in the buffer: all it has, except that a
  // packet claiming more than the buffer (a broken device) takes it whole.
  static std::uint32_t buffer_share(const Packet& packet);

  void run_timer(std::chrono::steady_clock::time_point start);
  // "backlog-70": waits until the host has taken kBacklogHoldReads packets.
  void hold_backlog_locked(std::unique_lock<std::mutex>& lock);
  // Joins the timer if it runs; `lock` (on mutex_) is released meanwhile.
  void stop_timer_locked(std::unique_lock<std::mutex>& lock, const char* reason);
  std::uint32_t produce_tick_locked(std::uint64_t tick);
  // Queues the next packet; false when it did not fit and is lost.
  bool queue_packet_locked(std::uint32_t frames);
  Session& session() const { return *session_; }

  const std::shared_ptr<Session> session_;
  // Serialises start and stop, and is held while the timer is joined, so a
  // start can never meet a timer that is still finishing.
  std::mutex control_mutex_;
  std::mutex mutex_;
  std::condition_variable wake_timer_;
  bool initialized_ = false;
  audio_host::win::EventHandle event_;  // our duplicate of the host's event
  bool running_ = false;
  bool stop_requested_ = false;
  std::thread timer_;
  std::uint64_t ticks_ = 0;

  std::deque<Packet> queue_;  // waiting to be handed out, oldest first
  // The frames of the waiting packets and of out_: at most kBufferFrames.
  std::uint32_t buffered_frames_ = 0;
  std::uint64_t queued_ = 0;   // packets made, lost ones included
  std::uint64_t dropped_ = 0;  // packets lost because they did not fit
  std::uint64_t taken_ = 0;    // packets handed out by get_buffer
  // "late-wake": ticks still to pass without a signal, once armed.
  bool late_wake_armed_ = false;
  std::uint32_t withheld_ticks_ = 0;
  std::uint64_t next_position_ = 0;
  bool carry_discontinuity_ = false;
  std::optional<Packet> out_;  // handed out by get_buffer, not yet released

  // One-shot failures of the "at packet k" scenarios.
  bool size_failure_done_ = false;
  bool get_failure_done_ = false;
  bool empty_answer_done_ = false;
  bool release_failure_done_ = false;

  alignas(16) std::array<unsigned char, (kBufferFrames + 1) * kBytesPerFrame + 16> staging_{};
};

}  // namespace standin_loopback
