// What a test needs to drive the stand-in loopback device (a test-only
// mmdevapi.dll that answers ActivateAudioInterfaceAsync for the host's
// process-loopback request) and to check what the host did with it:
//
//   - the environment variables it reads, once per ActivateAudioInterfaceAsync
//     call (so one test process can run several scenarios one after another);
//   - the scenarios it can play, by name;
//   - the log it writes, one line per event, and a parser for those lines;
//   - the signal it captures, computed by the same inline code in the DLL and
//     in the tests, so the expected floats are bit for bit the ones delivered.
//
// Plain standard C++ (no Windows headers), so that any test can include it.
// Everything here is constant or a pure function, safe from any thread.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace standin_loopback {

// Bumped whenever scenarios, log lines or the signal change meaning. The DLL
// exports `StandinLoopbackProtocolVersion` (returns this value), so a test
// can tell the stand-in from the system's mmdevapi.dll: under Wine both
// report the same module path when the stand-in lies beside the program.
inline constexpr std::uint32_t kProtocolVersion = 3;
inline constexpr char kVersionExportName[] = "StandinLoopbackProtocolVersion";

// ---------------------------------------------------------------------------
// Environment variables

// The scenario to play (see below); absent or empty means "default". An
// unknown name makes ActivateAudioInterfaceAsync fail with E_INVALIDARG.
inline constexpr char kScenarioVariable[] = "STANDIN_LOOPBACK_SCENARIO";
inline constexpr wchar_t kScenarioVariableW[] = L"STANDIN_LOOPBACK_SCENARIO";
// The log file (a Windows path); lines are appended. Absent or empty: no log.
inline constexpr char kLogVariable[] = "STANDIN_LOOPBACK_LOG";
inline constexpr wchar_t kLogVariableW[] = L"STANDIN_LOOPBACK_LOG";

// ---------------------------------------------------------------------------
// The stream

inline constexpr std::uint32_t kSampleRate = 48000;
inline constexpr std::uint32_t kChannels = 2;
inline constexpr std::uint32_t kBytesPerFrame = 8;  // two 32-bit floats
// What GetBufferSize reports: 100 ms. The capture buffer holds at most this
// many frames, the packets waiting and the one handed out by GetBuffer
// together. A packet that does not fit is lost (logged as stream.overflow);
// the next packet that fits carries the discontinuity flag, and its position
// shows the frames lost.
inline constexpr std::uint32_t kBufferFrames = 4800;
// After Start, every kPeriodMs the timer queues one packet of kPacketFrames
// frames and signals the event handle. A timer that wakes late does not
// make up for the ticks it missed (the stream then runs slower than real
// time): only a host that leaves packets unread loses audio, never the
// stand-in's own lateness.
inline constexpr std::uint32_t kPeriodMs = 10;
inline constexpr std::uint32_t kPacketFrames = 480;
// Frames skipped before a scenario's discontinuity packet, as if the system
// had lost them.
inline constexpr std::uint32_t kDiscontinuityGapFrames = 480;
// "backlog-70": the first tick queues kBacklogPackets packets of
// kBacklogPacketFrames frames (4480 frames, within the buffer) and signals
// once. The next tick waits until the host has taken kBacklogHoldReads of
// them (the most it reads after one signal) or kBacklogHoldLimitMs passed,
// so what the host reads after that first signal does not depend on timing.
inline constexpr std::uint32_t kBacklogPackets = 70;
inline constexpr std::uint32_t kBacklogPacketFrames = 64;
inline constexpr std::uint32_t kBacklogHoldReads = 64;
inline constexpr std::uint32_t kBacklogHoldLimitMs = 2000;
static_assert(kBacklogPackets * kBacklogPacketFrames <= kBufferFrames);
// "late-wake:k": after the tick that queued packet k, this many ticks (about
// 300 ms) queue their packets without signalling, as if the host woke late;
// the buffer holds 100 ms, so packets are lost.
inline constexpr std::uint32_t kLateWakeTicks = 30;
// "late-completion" calls ActivateCompleted this long after the activation,
// beyond the host's 10-second limit; "slow-completion" within it, which
// gives a test time to end a process while the host waits.
inline constexpr std::uint32_t kLateCompletionMs = 10500;
inline constexpr std::uint32_t kSlowCompletionMs = 1500;
// What the data of a silent packet holds: a reader must not use it.
inline constexpr float kSilentPacketFill = 0.75f;
// The flags of a packet (AUDCLNT_BUFFERFLAGS_*).
inline constexpr std::uint32_t kFlagDiscontinuity = 0x1;
inline constexpr std::uint32_t kFlagSilent = 0x2;
// The only argument values the stand-in accepts.
inline constexpr std::uint32_t kStreamFlags = 0x80060000;
// What the stand-in answers, as Windows does. A call that Windows refuses
// gets Windows' code; a call merely outside the host's request (another
// format, other flags, position pointers) gets E_INVALIDARG.
inline constexpr std::uint32_t kHresultFalse = 0x00000001;        // S_FALSE: Stop, not running
inline constexpr std::uint32_t kHresultBufferEmpty = 0x08890001;  // AUDCLNT_S_BUFFER_EMPTY
inline constexpr std::uint32_t kHresultNoInterface = 0x80004002;  // E_NOINTERFACE
inline constexpr std::uint32_t kHresultPointer = 0x80004003;      // E_POINTER: null out
inline constexpr std::uint32_t kHresultIllegalMethodCall = 0x8000000E;  // E_ILLEGAL_METHOD_CALL
inline constexpr std::uint32_t kHresultInvalidArg = 0x80070057;         // E_INVALIDARG
inline constexpr std::uint32_t kHresultNotInitialized = 0x88890001;     // AUDCLNT_E_NOT_INITIALIZED
inline constexpr std::uint32_t kHresultAlreadyInitialized = 0x88890002;
inline constexpr std::uint32_t kHresultNotStopped = 0x88890005;
inline constexpr std::uint32_t kHresultOutOfOrder = 0x88890007;
inline constexpr std::uint32_t kHresultInvalidSize = 0x88890009;
inline constexpr std::uint32_t kHresultEventHandleNotSet = 0x88890014;

// ---------------------------------------------------------------------------
// The signal
//
// Packets carry running frame positions: the first packet after Start has
// position 0, each next one starts where the previous ended (plus any frames
// skipped for a discontinuity or lost to an overflow). The frame at position
// n holds, in channel 0, a tone that tells the capture mode apart (440 Hz for
// include mode 0, 660 Hz for exclude mode 1) at amplitude 0.5, and in
// channel 1 a 1 Hz tone at amplitude 0.25 that marks the position within
// each second, so that a lost or repeated packet changes the samples:
//
//   tone(n, hz, a) = lround(a * 32768 * sin(2 pi * ((n * hz) mod 48000) / 48000)) / 32768
//
// computed in double and rounded to a multiple of 1/32768, which a float
// holds exactly (so tiny differences of sin between libraries cannot show).

inline constexpr std::uint32_t kIncludeToneHz = 440;
inline constexpr std::uint32_t kExcludeToneHz = 660;
inline constexpr std::uint32_t kMarkerToneHz = 1;

inline float tone_sample(std::uint64_t frame, std::uint32_t hz, double amplitude) {
  const std::uint64_t phase = (frame % kSampleRate) * hz % kSampleRate;
  const double radians = 2.0 * std::numbers::pi * static_cast<double>(phase) / kSampleRate;
  const long steps = std::lround(amplitude * 32768.0 * std::sin(radians));
  return static_cast<float>(steps) / 32768.0f;
}

// The sample of `channel` (0 or 1) at frame position `frame`; `mode` is the
// activation's loopback mode (0 include, 1 exclude).
inline float signal_sample(std::uint32_t mode, std::uint64_t frame, std::uint32_t channel) {
  if (channel == 0) {
    return tone_sample(frame, mode == 0 ? kIncludeToneHz : kExcludeToneHz, 0.5);
  }
  return tone_sample(frame, kMarkerToneHz, 0.25);
}

// Fills `frames` interleaved frames starting at position `first_frame`.
inline void fill_signal(std::uint32_t mode, std::uint64_t first_frame, std::uint32_t frames,
                        float* out) {
  for (std::uint32_t i = 0; i < frames; ++i) {
    out[2 * i] = signal_sample(mode, first_frame + i, 0);
    out[2 * i + 1] = signal_sample(mode, first_frame + i, 1);
  }
}

// ---------------------------------------------------------------------------
// Scenarios
//
// STANDIN_LOOPBACK_SCENARIO = name [":" k] ["+error-info"]
//
// Scenarios marked "packet k" act on the k-th packet queued after Start
// (1-based, default 1). A failure at packet k happens once: the call fails
// when packet k is the next packet (GetNextPacketSize, GetBuffer) or the one
// being released (ReleaseBuffer, which still consumes it); later calls work.
// "+error-info" makes the failing call set an error object (SetErrorInfo) on
// the calling thread whose description is error_description(failing_call);
// without it a failing call clears the thread's error object.

enum class ScenarioId : std::uint8_t {
  kDefault,
  kActivateFails,        // ActivateAudioInterfaceAsync returns the code, no operation
  kNoOperation,          // S_OK with a null operation; no completion
  kNullOperation,        // ActivateCompleted(nullptr)
  kNoCompletion,         // the handler reference is kept for good; no completion
  kHandlerReleased,      // no completion; the stand-in's handler reference released at once
  kLateCompletion,       // completion after kLateCompletionMs
  kSlowCompletion,       // completion after kSlowCompletionMs, then the default stream
  kActivateResultFails,  // GetActivateResult returns the code
  kActivationDenied,     // GetActivateResult: S_OK, activate result = the code
  kNoInterface,          // GetActivateResult: S_OK, S_OK, null interface
  kNoAudioClient,        // the interface answers only IUnknown
  kAudioClientNull,      // the interface answers IAudioClient with S_OK and null
  kInitializeFails,      // IAudioClient::Initialize
  kBufferSizeFails,      // IAudioClient::GetBufferSize
  kServiceFails,         // IAudioClient::GetService returns the code
  kServiceNull,          // IAudioClient::GetService: S_OK and null
  kSetEventFails,        // IAudioClient::SetEventHandle
  kStartFails,           // IAudioClient::Start
  kPacketSizeFails,      // packet k: GetNextPacketSize
  kGetBufferFails,       // packet k: GetBuffer
  kReleaseBufferFails,   // packet k: ReleaseBuffer
  kPacketBufferSize,     // packet k has kBufferFrames frames
  kPacketOverBuffer,     // packet k has kBufferFrames + 1 frames
  kZeroFramePacket,      // packet k: GetNextPacketSize says 480, GetBuffer gives 0 frames
  kBufferEmpty,          // packet k: announced, but the first GetBuffer finds it not ready
  kMisalignedData,       // packet k: data address = 2 mod 4
  kSilent480,            // packet k: 480 frames, silent flag
  kSilent1000,           // packet k: 1000 frames, silent flag
  kDiscontinuity,        // packet k: discontinuity flag, after a gap
  kDiscontinuitySilent,  // packet k: discontinuity and silent flags, after a gap
  kBacklog70,            // first tick queues kBacklogPackets packets
  kLateWake,             // after packet k, kLateWakeTicks ticks without a signal
};

struct ScenarioInfo {
  std::string_view name;
  ScenarioId id;
  bool takes_packet;              // accepts ":k"
  std::uint32_t code;             // the HRESULT it injects, 0 if none
  std::string_view failing_call;  // names the error object's call; empty: no "+error-info"
};

inline constexpr ScenarioInfo kScenarios[] = {
    {"default", ScenarioId::kDefault, false, 0, ""},
    {"activate-fails", ScenarioId::kActivateFails, false, 0x8007000E,  // E_OUTOFMEMORY
     "ActivateAudioInterfaceAsync"},
    {"no-operation", ScenarioId::kNoOperation, false, 0, ""},
    {"null-operation", ScenarioId::kNullOperation, false, 0, ""},
    {"no-completion", ScenarioId::kNoCompletion, false, 0, ""},
    {"handler-released", ScenarioId::kHandlerReleased, false, 0, ""},
    {"late-completion", ScenarioId::kLateCompletion, false, 0, ""},
    {"slow-completion", ScenarioId::kSlowCompletion, false, 0, ""},
    {"activate-result-fails", ScenarioId::kActivateResultFails, false, 0x8000FFFF,  // E_UNEXPECTED
     "GetActivateResult"},
    {"activation-denied", ScenarioId::kActivationDenied, false, 0x80070005,  // E_ACCESSDENIED
     "activation"},
    {"no-interface", ScenarioId::kNoInterface, false, 0, ""},
    {"no-audio-client", ScenarioId::kNoAudioClient, false, 0x80004002, ""},  // E_NOINTERFACE
    {"audio-client-null", ScenarioId::kAudioClientNull, false, 0, ""},
    {"initialize-fails", ScenarioId::kInitializeFails, false, 0x88890008,  // ..._UNSUPPORTED_FORMAT
     "Initialize"},
    {"buffer-size-fails", ScenarioId::kBufferSizeFails, false, 0x88890001,  // ..._NOT_INITIALIZED
     "GetBufferSize"},
    {"service-fails", ScenarioId::kServiceFails, false, 0x80004002, "GetService"},  // E_NOINTERFACE
    {"service-null", ScenarioId::kServiceNull, false, 0, ""},
    {"set-event-fails", ScenarioId::kSetEventFails, false, 0x80070006,  // E_HANDLE
     "SetEventHandle"},
    {"start-fails", ScenarioId::kStartFails, false, 0x8889000A, "Start"},  // ..._DEVICE_IN_USE
    {"packet-size-fails", ScenarioId::kPacketSizeFails, true, 0x88890004,  // ..._DEVICE_INVALIDATED
     "GetNextPacketSize"},
    {"get-buffer-fails", ScenarioId::kGetBufferFails, true, 0x88890018,  // ..._BUFFER_ERROR
     "GetBuffer"},
    {"release-buffer-fails", ScenarioId::kReleaseBufferFails, true, 0x88890009,  // ..._INVALID_SIZE
     "ReleaseBuffer"},
    {"packet-buffer-size", ScenarioId::kPacketBufferSize, true, 0, ""},
    {"packet-over-buffer", ScenarioId::kPacketOverBuffer, true, 0, ""},
    {"zero-frame-packet", ScenarioId::kZeroFramePacket, true, 0, ""},
    {"buffer-empty", ScenarioId::kBufferEmpty, true, 0, ""},
    {"misaligned-data", ScenarioId::kMisalignedData, true, 0, ""},
    {"silent-480", ScenarioId::kSilent480, true, 0, ""},
    {"silent-1000", ScenarioId::kSilent1000, true, 0, ""},
    {"discontinuity", ScenarioId::kDiscontinuity, true, 0, ""},
    {"discontinuity-silent", ScenarioId::kDiscontinuitySilent, true, 0, ""},
    {"backlog-70", ScenarioId::kBacklog70, false, 0, ""},
    {"late-wake", ScenarioId::kLateWake, true, 0, ""},
};

struct Scenario {
  const ScenarioInfo* info = &kScenarios[0];
  std::uint64_t packet = 1;  // k, for the scenarios that take it
  bool error_info = false;

  ScenarioId id() const { return info->id; }
  bool at_packet(ScenarioId scenario, std::uint64_t index) const {
    return info->id == scenario && packet == index;
  }
};

// The description of the error object a failing call sets with "+error-info".
inline std::string error_description(std::string_view failing_call) {
  return "stand-in " + std::string(failing_call) + " failure";
}

// Reads a scenario text; nullopt for an unknown name, a ":k" where none is
// taken or that is not a positive number, or "+error-info" on a scenario
// without a failing call.
inline std::optional<Scenario> parse_scenario(std::string_view text) {
  Scenario scenario;
  constexpr std::string_view kErrorInfoSuffix = "+error-info";
  if (text.ends_with(kErrorInfoSuffix)) {
    scenario.error_info = true;
    text.remove_suffix(kErrorInfoSuffix.size());
  }
  std::string_view name = text;
  std::optional<std::string_view> packet_text;
  if (const std::size_t colon = text.find(':'); colon != std::string_view::npos) {
    name = text.substr(0, colon);
    packet_text = text.substr(colon + 1);
  }
  if (name.empty() && !packet_text && !scenario.error_info) {
    name = "default";
  }
  for (const ScenarioInfo& info : kScenarios) {
    if (info.name != name) {
      continue;
    }
    scenario.info = &info;
    if (scenario.error_info && info.failing_call.empty()) {
      return std::nullopt;
    }
    if (packet_text) {
      if (!info.takes_packet || packet_text->empty() || packet_text->size() > 9) {
        return std::nullopt;
      }
      std::uint64_t packet = 0;
      for (const char c : *packet_text) {
        if (c < '0' || c > '9') {
          return std::nullopt;
        }
        packet = packet * 10 + static_cast<std::uint64_t>(c - '0');
      }
      if (packet == 0) {
        return std::nullopt;
      }
      scenario.packet = packet;
    }
    return scenario;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The log
//
// One line per event, written whole with one write and flushed at once, so a
// reader may look at the file while the process still runs:
//
//   event( key=value)* t_ms=N tid=N
//
// t_ms: milliseconds since the activation began; tid: the Windows thread id
// of the thread the event happened on. Values never contain spaces: bytes
// outside '!'..'~' and '%' itself are written as %XX (upper-case hex).
// HRESULTs are written as 0x and eight upper-case hex digits; interface IDs
// by name (IUnknown, IAgileObject, IMarshal, IAudioClient,
// IAudioCaptureClient, IActivateAudioInterfaceAsyncOperation,
// IActivateAudioInterfaceCompletionHandler) or as {GUID}.
//
// Every call of the host into the stand-in (except AddRef, Release and
// QueryInterface) carries contract=ok, or contract=REASON when an argument
// or the call's moment deviates from what the host must do, so a test can
// check that a run made no deviation. Such a call answers what Windows
// answers: a call Windows refuses fails with Windows' code (REASON, code):
//   null-out (E_POINTER); not-initialized (AUDCLNT_E_NOT_INITIALIZED);
//   already-initialized (AUDCLNT_E_ALREADY_INITIALIZED); iid of GetService
//   (E_NOINTERFACE); handle of SetEventHandle (E_INVALIDARG); Start:
//   running (AUDCLNT_E_NOT_STOPPED), no-event (AUDCLNT_E_EVENTHANDLE_NOT_SET);
//   GetBuffer: packet-out, a packet still held (AUDCLNT_E_OUT_OF_ORDER);
//   ReleaseBuffer: no-packet-out, none acquired by the preceding GetBuffer
//   (AUDCLNT_E_OUT_OF_ORDER), frames neither 0 nor the packet's
//   (AUDCLNT_E_INVALID_SIZE); GetActivateResult: not-completed
//   (E_ILLEGAL_METHOD_CALL).
// A call Windows would take but that is outside the host's request, which
// the stand-in does not play (another format, share mode, flags, buffer
// duration, periodicity or session, position pointers, SetEventHandle while
// running, the other IAudioClient methods), fails with E_INVALIDARG
// (0x80070057). A refused call changes nothing. ReleaseBuffer(0) of a packet
// with frames is marked contract=unread but works as on Windows: the packet
// is handed out again by the next GetBuffer. Stop on a stream that is not
// running answers S_FALSE with contract=ok. Events, with their fields in
// this order ([...] only when it applies):
//
// On the caller's thread of ActivateAudioInterfaceAsync:
//   activate path= iid= params=yes|no [vt= reserved=a,b,c [blob_size=
//            [blob=HEX activation_type= pid= mode=]]] handler=yes|no
//            operation_out=yes|no scenario=TEXT contract= result=
//   handler.QueryInterface iid=IAgileObject result= object=yes|no
//   handler.Release returned=N     (that interface let go again)
//   handler.AddRef returned=N      (the reference the stand-in keeps)
//   handler.kept                   (no-completion: it is never released)
//   activate.return result= operation=yes|no
// On the completion thread (its lines may come before activate.return):
//   completion.start delay_ms=N
//   handler.ActivateCompleted operation=yes|null result=
//   handler.Release returned=N
//   completion.end audio_clients_alive=N   (after it let go of everything;
//                                           0: the client it handed out is gone)
// From the host's calls:
//   operation.GetActivateResult contract= result= [activate_result=
//            interface=audio_client|plain_unknown|null]
//   audio_client.Initialize share_mode= flags=0xN buffer_duration= periodicity=
//            format=tag,channels,rate,bytes_per_second,align,bits,cb_size|null
//            session=null|IID contract= result=
//   audio_client.GetBufferSize contract= result= frames=
//   audio_client.GetService iid= contract= result= object=capture_client|null
//   audio_client.SetEventHandle handle=yes|null|invalid contract= result=
//   audio_client.Start contract= result=
//   audio_client.Stop contract= result=   (S_FALSE, 0x00000001, when not running)
//   audio_client.METHOD contract=unexpected-call result=0x80070057
//            (GetStreamLatency, GetCurrentPadding, IsFormatSupported,
//            GetMixFormat, GetDevicePeriod, Reset)
//   capture_client.GetNextPacketSize contract= result= frames= packet=K|none
//   capture_client.GetBuffer contract= result= packet=K frames= flags=0xN
//            position= aligned=yes|no
//            (when nothing is handed out: contract= result= packet=K|none;
//            none waiting, or "buffer-empty" packet k at its first GetBuffer,
//            gives result=0x08890001, AUDCLNT_S_BUFFER_EMPTY)
//   capture_client.ReleaseBuffer frames= contract= result= [packet=K]
//   OBJECT.AddRef refs=N | OBJECT.Release refs=N | OBJECT.QueryInterface iid= result=
//     for OBJECT in operation, audio_client, capture_client, plain_unknown;
//     refs is the count after the call, 0 when the object is gone. An
//     object's lines come in the order its count changed, whatever threads
//     released it, so its last Release line is the one with refs=0.
// From the stream:
//   stream.start                   (after a successful Start)
//   stream.signal tick=N added=N waiting=N buffered=N
//            (tick: the timer's tick; added: packets it queued; waiting:
//            packets queued and not yet handed out; buffered: frames in the
//            buffer, a packet handed out and not yet released included)
//   stream.withheld tick=N added=N waiting=N buffered=N
//            ("late-wake": a tick that queued without signalling)
//   stream.overflow packet=K position= frames=
//            (packet K did not fit into the buffer: its frames are lost)
//   stream.hold taken=N            ("backlog-70": the timer goes on after the
//                                   host took N packets, or after the limit)
//   stream.stop reason=stop|released ticks= queued= dropped=
//            (the timer ended: by Stop, or because the audio client went)

struct LogLine {
  std::string event;
  std::vector<std::pair<std::string, std::string>> fields;  // unescaped values

  // The value of the first field named `key`.
  std::optional<std::string> field(std::string_view key) const {
    for (const auto& [name, value] : fields) {
      if (name == key) {
        return value;
      }
    }
    return std::nullopt;
  }
  // The fields except t_ms and tid, as "event key=value ..." (for comparisons).
  std::string without_timing() const {
    std::string text = event;
    for (const auto& [name, value] : fields) {
      if (name != "t_ms" && name != "tid") {
        text += ' ' + name + '=' + value;
      }
    }
    return text;
  }
};

inline std::string unescape_log_value(std::string_view value) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') {
      return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
      return c - 'A' + 10;
    }
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '%' && i + 2 < value.size() && hex(value[i + 1]) >= 0 &&
        hex(value[i + 2]) >= 0) {
      out += static_cast<char>(hex(value[i + 1]) * 16 + hex(value[i + 2]));
      i += 2;
    } else {
      out += value[i];
    }
  }
  return out;
}

// Splits one line (without its line end); a word without '=' after the event
// becomes a field with an empty value.
inline LogLine parse_log_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') {
    line.remove_suffix(1);
  }
  LogLine parsed;
  bool first = true;
  while (!line.empty()) {
    const std::size_t space = line.find(' ');
    const std::string_view word = line.substr(0, space);
    line = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
    if (word.empty()) {
      continue;
    }
    if (first) {
      parsed.event = std::string(word);
      first = false;
      continue;
    }
    const std::size_t equals = word.find('=');
    if (equals == std::string_view::npos) {
      parsed.fields.emplace_back(std::string(word), std::string());
    } else {
      parsed.fields.emplace_back(std::string(word.substr(0, equals)),
                                 unescape_log_value(word.substr(equals + 1)));
    }
  }
  return parsed;
}

// Splits a whole log file's text into parsed lines.
inline std::vector<LogLine> parse_log(std::string_view text) {
  std::vector<LogLine> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty()) {
      lines.push_back(parse_log_line(line));
    }
  }
  return lines;
}

}  // namespace standin_loopback
