#include "standin_stream.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace standin_loopback {
namespace {

static_assert(static_cast<std::uint32_t>(AUDCLNT_S_BUFFER_EMPTY) == kHresultBufferEmpty);
static_assert(static_cast<std::uint32_t>(AUDCLNT_E_NOT_INITIALIZED) == kHresultNotInitialized);
static_assert(static_cast<std::uint32_t>(AUDCLNT_E_ALREADY_INITIALIZED) ==
              kHresultAlreadyInitialized);
static_assert(static_cast<std::uint32_t>(AUDCLNT_E_NOT_STOPPED) == kHresultNotStopped);
static_assert(static_cast<std::uint32_t>(AUDCLNT_E_OUT_OF_ORDER) == kHresultOutOfOrder);
static_assert(static_cast<std::uint32_t>(AUDCLNT_E_INVALID_SIZE) == kHresultInvalidSize);
static_assert(static_cast<std::uint32_t>(AUDCLNT_E_EVENTHANDLE_NOT_SET) ==
              kHresultEventHandleNotSet);

const char* format_deviation(const WAVEFORMATEX* format) {
  if (format == nullptr) {
    return "format";
  }
  const bool exact = format->wFormatTag == 3 && format->nChannels == kChannels &&
                     format->nSamplesPerSec == kSampleRate &&
                     format->nAvgBytesPerSec == kSampleRate * kBytesPerFrame &&
                     format->nBlockAlign == kBytesPerFrame && format->wBitsPerSample == 32 &&
                     format->cbSize == 0;
  return exact ? nullptr : "format";
}

std::string format_text(const WAVEFORMATEX* format) {
  if (format == nullptr) {
    return "null";
  }
  return std::to_string(format->wFormatTag) + ',' + std::to_string(format->nChannels) + ',' +
         std::to_string(format->nSamplesPerSec) + ',' + std::to_string(format->nAvgBytesPerSec) +
         ',' + std::to_string(format->nBlockAlign) + ',' + std::to_string(format->wBitsPerSample) +
         ',' + std::to_string(format->cbSize);
}

}  // namespace

Stream::Stream(std::shared_ptr<Session> session) : session_(std::move(session)) {}

Stream::~Stream() {
  stop_timer("released");
}

HRESULT Stream::initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags,
                           REFERENCE_TIME buffer_duration, REFERENCE_TIME periodicity,
                           const WAVEFORMATEX* format, const GUID* session_guid) {
  LogEvent event("audio_client.Initialize");
  event.number("share_mode", static_cast<std::uint32_t>(share_mode))
      .hex("flags", flags)
      .text("buffer_duration", std::to_string(buffer_duration))
      .text("periodicity", std::to_string(periodicity))
      .text("format", format_text(format))
      .text("session", session_guid == nullptr ? "null" : iid_text(*session_guid));
  const std::lock_guard lock(mutex_);
  const Deviation deviation =
      Deviation()
          .when(initialized_, "already-initialized", AUDCLNT_E_ALREADY_INITIALIZED)
          .when(format == nullptr, "format", E_POINTER)
          .when(share_mode != AUDCLNT_SHAREMODE_SHARED, "share-mode")
          .when(flags != kStreamFlags, "flags")
          .when(buffer_duration != 0, "buffer-duration")
          .when(periodicity != 0, "periodicity")
          .when(format_deviation(format) != nullptr, "format")
          .when(session_guid != nullptr, "session-guid");
  const HRESULT result = checked_result(
      session(), deviation, session().scenario.id() == ScenarioId::kInitializeFails, S_OK, event);
  if (result == S_OK) {
    initialized_ = true;
  }
  session().log.write(event);
  return result;
}

HRESULT Stream::get_buffer_size(UINT32* frames) {
  LogEvent event("audio_client.GetBufferSize");
  const std::lock_guard lock(mutex_);
  const Deviation deviation =
      Deviation()
          .when(frames == nullptr, "null-out", E_POINTER)
          .when(!initialized_, "not-initialized", AUDCLNT_E_NOT_INITIALIZED);
  const HRESULT result = checked_result(
      session(), deviation, session().scenario.id() == ScenarioId::kBufferSizeFails, S_OK, event);
  if (frames != nullptr) {
    *frames = result == S_OK ? kBufferFrames : 0;
    event.number("frames", *frames);
  }
  session().log.write(event);
  return result;
}

Deviation Stream::service_deviation(REFIID iid, void** out) {
  const std::lock_guard lock(mutex_);
  return Deviation()
      .when(out == nullptr, "null-out", E_POINTER)
      .when(!initialized_, "not-initialized", AUDCLNT_E_NOT_INITIALIZED)
      .when(!IsEqualGUID(iid, audio_host::win::kIidAudioCaptureClient), "iid", E_NOINTERFACE);
}

HRESULT Stream::set_event_handle(HANDLE event_handle) {
  LogEvent event("audio_client.SetEventHandle");
  event.text("handle", event_handle == nullptr                ? "null"
                       : event_handle == INVALID_HANDLE_VALUE ? "invalid"
                                                              : "yes");
  const std::lock_guard lock(mutex_);
  // Our own duplicate: the host may close its handle whenever it likes
  // without the timer ever signalling a closed (or reused) handle value.
  HANDLE duplicate = nullptr;
  // Windows documents no answer for a running stream; the host never does it.
  Deviation deviation = Deviation()
                            .when(!initialized_, "not-initialized", AUDCLNT_E_NOT_INITIALIZED)
                            .when(running_, "running");
  if (!deviation) {
    deviation.when(event_handle == nullptr || event_handle == INVALID_HANDLE_VALUE ||
                       !DuplicateHandle(GetCurrentProcess(), event_handle, GetCurrentProcess(),
                                        &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS),
                   "handle", E_INVALIDARG);
  }
  audio_host::win::EventHandle owned(duplicate);
  const HRESULT result = checked_result(
      session(), deviation, session().scenario.id() == ScenarioId::kSetEventFails, S_OK, event);
  if (result == S_OK) {
    event_ = std::move(owned);
  }
  session().log.write(event);
  return result;
}

HRESULT Stream::start() {
  LogEvent event("audio_client.Start");
  const std::lock_guard control(control_mutex_);
  std::unique_lock lock(mutex_);
  const Deviation deviation = Deviation()
                                  .when(!initialized_, "not-initialized", AUDCLNT_E_NOT_INITIALIZED)
                                  .when(running_, "running", AUDCLNT_E_NOT_STOPPED)
                                  .when(!event_, "no-event", AUDCLNT_E_EVENTHANDLE_NOT_SET);
  const HRESULT result = checked_result(
      session(), deviation, session().scenario.id() == ScenarioId::kStartFails, S_OK, event);
  session().log.write(event);
  if (result != S_OK) {
    return result;
  }
  stop_requested_ = false;
  try {
    timer_ = std::thread(&Stream::run_timer, this, std::chrono::steady_clock::now());
  } catch (const std::system_error&) {
    session().log.write(LogEvent("stream.start").text("timer", "failed"));
    return E_OUTOFMEMORY;
  }
  running_ = true;
  session().log.write(LogEvent("stream.start"));
  return result;
}

HRESULT Stream::stop() {
  const std::lock_guard control(control_mutex_);
  std::unique_lock lock(mutex_);
  LogEvent event("audio_client.Stop");
  // A stream that is not running answers S_FALSE, which is no deviation.
  const HRESULT result = checked_result(
      session(), Deviation().when(!initialized_, "not-initialized", AUDCLNT_E_NOT_INITIALIZED),
      false, running_ ? S_OK : S_FALSE, event);
  session().log.write(event);
  stop_timer_locked(lock, "stop");
  return result;
}

void Stream::stop_timer(const char* reason) {
  const std::lock_guard control(control_mutex_);
  std::unique_lock lock(mutex_);
  stop_timer_locked(lock, reason);
}

void Stream::stop_timer_locked(std::unique_lock<std::mutex>& lock, const char* reason) {
  if (!running_) {
    return;
  }
  stop_requested_ = true;
  wake_timer_.notify_all();
  lock.unlock();
  timer_.join();  // only the host's threads get here, never the timer itself
  lock.lock();
  running_ = false;
  session().log.write(LogEvent("stream.stop")
                          .text("reason", reason)
                          .number("ticks", ticks_)
                          .number("queued", queued_)
                          .number("dropped", dropped_));
}

std::uint32_t Stream::buffer_share(const Packet& packet) {
  return std::min(packet.frames, kBufferFrames);
}

void Stream::run_timer(std::chrono::steady_clock::time_point start) {
  constexpr std::chrono::milliseconds kPeriod(kPeriodMs);
  auto next = start + kPeriod;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (wake_timer_.wait_until(lock, next, [this] { return stop_requested_; })) {
      return;
    }
    ++ticks_;
    const std::uint32_t added = produce_tick_locked(ticks_);
    const bool withheld = withheld_ticks_ > 0;
    session().log.write(LogEvent(withheld ? "stream.withheld" : "stream.signal")
                            .number("tick", ticks_)
                            .number("added", added)
                            .number("waiting", queue_.size())
                            .number("buffered", buffered_frames_));
    if (withheld) {
      --withheld_ticks_;
    } else {
      SetEvent(event_.get());
    }
    const Scenario& scenario = session().scenario;
    if (scenario.id() == ScenarioId::kLateWake && !late_wake_armed_ && queued_ >= scenario.packet) {
      late_wake_armed_ = true;
      withheld_ticks_ = kLateWakeTicks;
    }
    if (ticks_ == 1 && session().scenario.id() == ScenarioId::kBacklog70) {
      hold_backlog_locked(lock);
      if (stop_requested_) {
        return;
      }
      next = std::chrono::steady_clock::now();
    }
    next += kPeriod;
    if (const auto now = std::chrono::steady_clock::now(); next <= now) {
      next = now + kPeriod;  // late: the missed ticks are skipped, not made up for
    }
  }
}

void Stream::hold_backlog_locked(std::unique_lock<std::mutex>& lock) {
  wake_timer_.wait_for(lock, std::chrono::milliseconds(kBacklogHoldLimitMs),
                       [this] { return stop_requested_ || taken_ >= kBacklogHoldReads; });
  session().log.write(LogEvent("stream.hold").number("taken", taken_));
}

std::uint32_t Stream::produce_tick_locked(std::uint64_t tick) {
  if (tick == 1 && session().scenario.id() == ScenarioId::kBacklog70) {
    std::uint32_t added = 0;
    for (std::uint32_t i = 0; i < kBacklogPackets; ++i) {
      added += queue_packet_locked(kBacklogPacketFrames) ? 1 : 0;
    }
    return added;
  }
  return queue_packet_locked(kPacketFrames) ? 1 : 0;
}

bool Stream::queue_packet_locked(std::uint32_t frames) {
  Packet packet;
  packet.index = ++queued_;
  packet.frames = frames;
  if (carry_discontinuity_) {
    packet.flags |= kFlagDiscontinuity;
    carry_discontinuity_ = false;
  }
  bool zero_frames = false;
  const Scenario& scenario = session().scenario;
  if (scenario.packet == packet.index) {
    switch (scenario.id()) {
      case ScenarioId::kPacketBufferSize:
        packet.frames = kBufferFrames;
        break;
      case ScenarioId::kPacketOverBuffer:
        packet.frames = kBufferFrames + 1;
        break;
      case ScenarioId::kZeroFramePacket:
        zero_frames = true;
        break;
      case ScenarioId::kMisalignedData:
        packet.misaligned = true;
        break;
      case ScenarioId::kSilent480:
        packet.frames = 480;
        packet.flags |= kFlagSilent;
        break;
      case ScenarioId::kSilent1000:
        packet.frames = 1000;
        packet.flags |= kFlagSilent;
        break;
      case ScenarioId::kDiscontinuity:
        packet.flags |= kFlagDiscontinuity;
        next_position_ += kDiscontinuityGapFrames;
        break;
      case ScenarioId::kDiscontinuitySilent:
        packet.flags |= kFlagDiscontinuity | kFlagSilent;
        next_position_ += kDiscontinuityGapFrames;
        break;
      default:
        break;
    }
  }
  // A zero-frame packet is announced like a regular one: GetNextPacketSize
  // must say something is there for the host to reach GetBuffer.
  packet.announced = packet.frames;
  if (zero_frames) {
    packet.frames = 0;
  }
  packet.position = next_position_;
  next_position_ += packet.frames;
  if (buffer_share(packet) > kBufferFrames - buffered_frames_) {
    // The host has not read in time: what does not fit is lost, and the
    // next packet that fits tells of the gap.
    ++dropped_;
    carry_discontinuity_ = true;
    session().log.write(LogEvent("stream.overflow")
                            .number("packet", packet.index)
                            .number("position", packet.position)
                            .number("frames", packet.frames));
    return false;
  }
  buffered_frames_ += buffer_share(packet);
  queue_.push_back(packet);
  return true;
}

HRESULT Stream::get_next_packet_size(UINT32* frames) {
  LogEvent event("capture_client.GetNextPacketSize");
  const std::lock_guard lock(mutex_);
  const Packet* next = queue_.empty() ? nullptr : &queue_.front();
  const bool inject = next != nullptr && !size_failure_done_ &&
                      session().scenario.at_packet(ScenarioId::kPacketSizeFails, next->index);
  const HRESULT result = checked_result(
      session(), Deviation().when(frames == nullptr, "null-out", E_POINTER), inject, S_OK, event);
  if (inject) {
    size_failure_done_ = true;
  }
  if (frames != nullptr) {
    *frames = result == S_OK && next != nullptr ? next->announced : 0;
    event.number("frames", *frames);
  }
  event.text("packet", next != nullptr ? std::to_string(next->index) : "none");
  session().log.write(event);
  return result;
}

HRESULT Stream::get_buffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                           UINT64* performance_position) {
  LogEvent event("capture_client.GetBuffer");
  const std::lock_guard lock(mutex_);
  // Windows takes position pointers too; the host passes none.
  const Deviation deviation =
      Deviation()
          .when(data == nullptr || frames == nullptr || flags == nullptr, "null-out", E_POINTER)
          .when(out_.has_value(), "packet-out", AUDCLNT_E_OUT_OF_ORDER)
          .when(device_position != nullptr || performance_position != nullptr, "position-out");
  const Packet* next = queue_.empty() ? nullptr : &queue_.front();
  const bool inject = !deviation && next != nullptr && !get_failure_done_ &&
                      session().scenario.at_packet(ScenarioId::kGetBufferFails, next->index);
  // A packet that GetNextPacketSize announced but that is not ready yet, as
  // a race in the system can give: no packet is handed out this time.
  const bool not_ready = !deviation && next != nullptr && !empty_answer_done_ &&
                         session().scenario.at_packet(ScenarioId::kBufferEmpty, next->index);
  const HRESULT result =
      checked_result(session(), deviation, inject,
                     next != nullptr && !not_ready ? S_OK : AUDCLNT_S_BUFFER_EMPTY, event);
  if (inject) {
    get_failure_done_ = true;
  }
  if (not_ready) {
    empty_answer_done_ = true;
  }
  if (data != nullptr) {
    *data = nullptr;
  }
  if (frames != nullptr) {
    *frames = 0;
  }
  if (flags != nullptr) {
    *flags = 0;
  }
  if (result != S_OK) {
    event.text("packet", next != nullptr ? std::to_string(next->index) : "none");
    session().log.write(event);
    return result;
  }

  out_ = *next;
  queue_.pop_front();  // still in the buffer until it is released
  if (++taken_ == kBacklogHoldReads) {
    wake_timer_.notify_all();
  }
  const Packet& packet = *out_;
  const std::size_t offset = packet.misaligned ? 2 : 0;
  unsigned char* bytes = staging_.data() + offset;
  const bool silent = (packet.flags & kFlagSilent) != 0;
  for (std::uint32_t i = 0; i < packet.frames * kChannels; ++i) {
    const float value =
        silent ? kSilentPacketFill
               : signal_sample(session().mode, packet.position + i / kChannels, i % kChannels);
    std::memcpy(bytes + 4 * std::size_t{i}, &value, sizeof value);
  }
  *data = bytes;
  *frames = packet.frames;
  *flags = packet.flags;
  event.number("packet", packet.index)
      .number("frames", packet.frames)
      .hex("flags", packet.flags)
      .number("position", packet.position)
      .yes_no("aligned", offset == 0);
  session().log.write(event);
  return result;
}

HRESULT Stream::release_buffer(UINT32 frames) {
  LogEvent event("capture_client.ReleaseBuffer");
  event.number("frames", frames);
  const std::lock_guard lock(mutex_);
  // Releasing 0 frames of a packet means none of it was read: Windows takes
  // it back and hands out the same packet again. The host always releases
  // what it read, so this is marked, but answered as Windows does.
  const bool unread = out_ && frames == 0 && out_->frames != 0;
  const Deviation deviation =
      Deviation()
          .when(!out_, "no-packet-out", AUDCLNT_E_OUT_OF_ORDER)
          .when(out_ && frames != 0 && frames != out_->frames, "frames", AUDCLNT_E_INVALID_SIZE)
          .when(unread, "unread", S_OK);
  const bool inject = !deviation && !release_failure_done_ &&
                      session().scenario.at_packet(ScenarioId::kReleaseBufferFails, out_->index);
  const HRESULT result = checked_result(session(), deviation, inject, S_OK, event);
  if (inject) {
    release_failure_done_ = true;
  }
  if (out_) {
    event.number("packet", out_->index);
  }
  if (unread) {
    queue_.push_front(*out_);  // still in the buffer, first again
    out_.reset();
  } else if (!deviation) {
    buffered_frames_ -= buffer_share(*out_);
    out_.reset();  // a failed release still gives the packet back
  }
  session().log.write(event);
  return result;
}

}  // namespace standin_loopback
