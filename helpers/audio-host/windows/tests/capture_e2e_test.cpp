// The real audio-host.exe capturing through the stand-in loopback device,
// started by test-parent.exe, which plays the translator. The stand-in plays
// a known signal and logs every call the host makes, so the tests check the
// PCM bytes exactly and the order in which the host takes things down.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

#include "native/system_error.h"
#include "standin_protocol.h"
#include "std_streams.h"
#include "support/child_process.h"
#include "support/window_helper_child.h"

namespace {

namespace standin = standin_loopback;
using test_support::Child;
using test_support::HelperIdentity;

const std::string kFormatLine =
    R"({"backend":"wasapi-process-loopback","channels":1,"event":"format",)"
    R"("sampleFormat":"s16le","sampleRate":48000})"
    "\n";

std::string error_line(const std::string& message) {
  return R"({"code":"capture_failed","event":"error","message":")" + message + "\"}\n";
}

std::string system_text(std::uint32_t code) {
  SetErrorInfo(0, nullptr);
  return audio_host::win::system_error_text(
      audio_host::win::SystemError::from_hresult(static_cast<HRESULT>(code)));
}

// The PCM the host must write for the stand-in's signal from position
// `first_frame`: each frame's two channels averaged, scaled by 32767 and
// truncated.
std::string expected_pcm(std::uint32_t mode, std::size_t bytes, std::uint64_t first_frame = 0) {
  std::string pcm;
  for (std::uint64_t frame = first_frame; pcm.size() < bytes; ++frame) {
    const float sum =
        standin::signal_sample(mode, frame, 0) + standin::signal_sample(mode, frame, 1);
    const auto value = static_cast<std::int16_t>(std::trunc(sum / 2.0f * 32767.0f));
    pcm.push_back(static_cast<char>(value & 0xFF));
    pcm.push_back(static_cast<char>((value >> 8) & 0xFF));
  }
  pcm.resize(bytes);
  return pcm;
}

std::wstring temp_file(const wchar_t* prefix) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  wchar_t file[MAX_PATH];
  GetTempFileNameW(folder, prefix, 0, file);
  return file;
}

std::string read_file(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class CaptureEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    log_path_ = temp_file(L"log");
    pid_path_ = temp_file(L"pid");
    std::string error;
    ASSERT_TRUE(test_support::start_window_helper(target_, {L"--visible", L"0"}, target_id_, error))
        << error;
  }
  void TearDown() override {
    finish_log();
    DeleteFileW(pid_path_.c_str());
  }

  // Ends one run's log: it must hold no call off the contract (the host
  // may still be writing: only whole lines count), then it goes.
  void finish_log() {
    std::string text = read_file(log_path_);
    text.resize(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    for (const auto& line : standin::parse_log(text)) {
      if (const auto contract = line.field("contract")) {
        EXPECT_EQ(*contract, "ok") << line.without_timing();
      }
    }
    DeleteFileW(log_path_.c_str());
  }

  // Starts the translator, which starts the host with `host_arguments`.
  void start(const std::string& scenario, std::vector<std::wstring> parent_arguments,
             const std::vector<std::wstring>& host_arguments,
             std::vector<std::wstring> environment = {}, test_support::ChildOptions options = {}) {
    environment.push_back(L"STANDIN_LOOPBACK_SCENARIO=" + test_support::widen(scenario));
    environment.push_back(L"STANDIN_LOOPBACK_LOG=" + log_path_);
    parent_arguments.insert(parent_arguments.end(), {L"--pid-file", pid_path_, L"--"});
    parent_arguments.insert(parent_arguments.end(), host_arguments.begin(), host_arguments.end());
    options.environment = std::move(environment);
    ASSERT_TRUE(translator_->start(test_support::program_folder() + L"test-parent.exe",
                                   parent_arguments, options))
        << translator_->error();
  }

  std::vector<std::wstring> target_arguments() const {
    return {L"--exclude-pids",   L"{self}",
            L"--target",         L"pid:" + std::to_wstring(target_id_.pid),
            L"--expected-exe",   test_support::widen(target_id_.exe),
            L"--expected-start", std::to_wstring(target_id_.start_time)};
  }

  // The host's exit status, read through its PID (the translator may be gone).
  DWORD host_exit_status(DWORD timeout_ms = 20000) {
    DWORD pid = 0;
    for (int i = 0; i < 200 && pid == 0; ++i) {
      std::sscanf(read_file(pid_path_).c_str(), "host=%lu", &pid);
      if (pid == 0)
        Sleep(10);
    }
    const vantle::WinHandle host(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!host)
      return 0xDEAD;  // already gone: only the translator can tell
    DWORD status = 0xBAD;
    if (WaitForSingleObject(host.get(), timeout_ms) == WAIT_OBJECT_0)
      GetExitCodeProcess(host.get(), &status);
    return status;
  }

  std::vector<std::string> log_events() const {
    std::vector<std::string> events;
    for (const auto& line : standin::parse_log(read_file(log_path_))) {
      events.push_back(line.without_timing());
    }
    return events;
  }
  // Packets the host has taken from the stand-in so far.
  std::size_t packets_taken() const {
    std::size_t taken = 0;
    for (const auto& line : standin::parse_log(read_file(log_path_))) {
      if (line.event == "capture_client.GetBuffer" && line.field("frames"))
        ++taken;
    }
    return taken;
  }
  // Position of the first log event starting with `text`, or -1.
  int position(const std::string& text) const {
    const auto events = log_events();
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i].rfind(text, 0) == 0)
        return static_cast<int>(i);
    }
    return -1;
  }

  // Whether the host thread that released the capture client for good
  // released the audio client after it. The stand-in's completion thread
  // may hold the last audio client reference (through the operation) and
  // drop it later, or not at all before the host exits, so only the host
  // thread's own releases tell the host's order.
  bool capture_client_released_before_audio_client() const {
    const auto lines = standin::parse_log(read_file(log_path_));
    std::optional<std::string> host_thread;
    bool audio_client_after = false;
    for (const auto& line : lines) {
      if (!host_thread && line.without_timing() == "capture_client.Release refs=0") {
        host_thread = line.field("tid");
      } else if (host_thread && line.event == "audio_client.Release" &&
                 line.field("tid") == host_thread) {
        audio_client_after = true;
      }
    }
    return audio_client_after;
  }

  std::wstring log_path_;
  std::wstring pid_path_;
  Child target_;
  HelperIdentity target_id_;
  std::unique_ptr<Child> translator_ = std::make_unique<Child>();
};

TEST_F(CaptureEndToEnd, SelectedApplicationStreamsTheExactPcmUntilTheReaderGoes) {
  start("default", {}, target_arguments());
  const std::string pcm = translator_->wait_for_out(25 * 1920, 20000);
  ASSERT_GE(pcm.size(), 25u * 1920) << translator_->err();
  translator_->close_stdout_reader();  // the translator stops reading
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 0u);
  EXPECT_EQ(translator_->err(), kFormatLine);
  const std::string all = translator_->out();
  EXPECT_EQ(all.substr(0, pcm.size()), expected_pcm(/*include mode*/ 0, pcm.size()));

  // Activated for the target's tree; taken down in the normal order.
  const auto activate = standin::parse_log(read_file(log_path_)).front();
  EXPECT_EQ(activate.field("pid"), std::to_string(target_id_.pid));
  EXPECT_EQ(activate.field("mode"), "0");
  const int stop = position("audio_client.Stop");
  const int audio_gone = position("audio_client.Release refs=0");
  const int capture_gone = position("capture_client.Release refs=0");
  ASSERT_GE(stop, 0);
  EXPECT_LT(stop, audio_gone);
  EXPECT_LT(audio_gone, capture_gone);
}

TEST_F(CaptureEndToEnd, SystemCaptureExcludesTheTranslatorsTree) {
  start("default", {}, {L"--exclude-pids", L"{self}", L"--target", L"system"});
  const std::string pcm = translator_->wait_for_out(10 * 1920, 20000);
  ASSERT_GE(pcm.size(), 10u * 1920) << translator_->err();
  translator_->close_stdout_reader();
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 0u);
  EXPECT_EQ(pcm.substr(0, 10 * 1920), expected_pcm(/*exclude mode*/ 1, 10 * 1920));
  const auto activate = standin::parse_log(read_file(log_path_)).front();
  EXPECT_EQ(activate.field("pid"), std::to_string(translator_->pid()));
  EXPECT_EQ(activate.field("mode"), "1");
}

TEST_F(CaptureEndToEnd, TranslatorExitingEndsTheCaptureNormally) {
  start("default", {L"--exit-after-ms", L"700"}, target_arguments());
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(host_exit_status(), 0u);
  EXPECT_EQ(translator_->err(), kFormatLine);
  EXPECT_EQ(translator_->out().size() % 1920, 0u);
}

TEST_F(CaptureEndToEnd, SelectedProcessExitingIsAnError) {
  start("default", {}, target_arguments());
  ASSERT_GE(translator_->wait_for_out(5 * 1920, 20000).size(), 5u * 1920);
  target_.close_stdin();  // the application ends
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 1u);
  EXPECT_EQ(translator_->err(), kFormatLine + error_line("selected process exited"));
  EXPECT_EQ(translator_->out().size() % 1920, 0u);
}

// Only the reader's going away ends a capture normally: any other failed
// write of the PCM (here a full disk) is an error the translator must hear.
TEST_F(CaptureEndToEnd, FailedPcmWriteIsAnErrorUnlessTheReaderWentAway) {
  test_support::ChildOptions options;
  options.stdout_mode = test_support::ChildOptions::Stdout::file;
  options.stdout_file = L"Z:\\dev\\full";  // the host inherits it from the translator
  start("default", {}, target_arguments(), {}, options);
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 1u);
  EXPECT_EQ(translator_->err(), kFormatLine + error_line(vantle::os_error_text(ERROR_DISK_FULL)));
  EXPECT_NE(position("audio_client.Stop"), -1) << "the normal take-down";
}

TEST_F(CaptureEndToEnd, ConsoleStopEndsTheCaptureNormally) {
  start("default", {L"--ctrl-c-after-ms", L"800"}, target_arguments());
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 0u) << translator_->err();
  EXPECT_EQ(translator_->err(), kFormatLine);
  EXPECT_GT(translator_->out().size(), 0u);
}

// The last check before the format event: a process that ended while the
// host waited for its audio client (the stand-in completes after 1.5 s).
TEST_F(CaptureEndToEnd, ProcessesEndingBeforeCaptureAreRefused) {
  const auto activation_begun = [&] {
    for (int i = 0; i < 2000; ++i) {
      if (read_file(log_path_).find("activate ") != std::string::npos)
        return true;
      Sleep(5);
    }
    return false;
  };
  start("slow-completion", {}, target_arguments());
  ASSERT_TRUE(activation_begun());
  target_.close_stdin();  // the application ends
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 1u);
  EXPECT_EQ(translator_->err(), error_line("selected or parent process exited before capture"));
  EXPECT_EQ(translator_->out(), "");

  // The translator ends (the host's pipes stay open until the host is gone).
  finish_log();
  DeleteFileW(pid_path_.c_str());
  translator_ = std::make_unique<Child>();
  start("slow-completion", {L"--exit-after-ms", L"500"},
        {L"--exclude-pids", L"{self}", L"--target", L"system"});
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(host_exit_status(), 1u);
  EXPECT_EQ(translator_->err(), error_line("selected or parent process exited before capture"));
}

TEST_F(CaptureEndToEnd, StartFailureFollowsTheFormatEventAndTakesDownWithoutStop) {
  start("start-fails", {}, target_arguments());
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 1u);
  EXPECT_EQ(translator_->err(),
            kFormatLine + error_line("start process capture: " + system_text(0x8889000A)));
  EXPECT_EQ(translator_->out(), "");
  EXPECT_EQ(position("audio_client.Stop"), -1);
  EXPECT_TRUE(capture_client_released_before_audio_client());
}

TEST_F(CaptureEndToEnd, SetUpFailuresReleaseWhatExistsInOrder) {
  struct Case {
    const char* scenario;
    std::string message;
    bool capture_client;  // whether one was handed out
  };
  const Case cases[] = {
      {"initialize-fails", "initialize float32 process capture: " + system_text(0x88890008), false},
      {"set-event-fails", "set capture event: " + system_text(0x80070006), true},
      {"activation-denied",
       "process-loopback activation (requires supported Windows build): " + system_text(0x80070005),
       false},
  };
  for (const Case& c : cases) {
    finish_log();
    translator_ = std::make_unique<Child>();  // a fresh translator per case
    start(c.scenario, {}, target_arguments());
    ASSERT_TRUE(translator_->wait(20000)) << c.scenario;
    EXPECT_EQ(translator_->exit_code(), 1u) << c.scenario;
    EXPECT_EQ(translator_->err(), error_line(c.message)) << "no format event before a set-up error";
    EXPECT_EQ(position("audio_client.Stop"), -1) << c.scenario;
    if (c.capture_client) {
      EXPECT_TRUE(capture_client_released_before_audio_client()) << c.scenario;
    }
  }
}

TEST_F(CaptureEndToEnd, StatisticsLineWithDiagnosticsAndWithDrops) {
  // With the variable set (also empty), about one line a second.
  start("default", {}, target_arguments(), {L"VANTLE_AUDIO_DIAGNOSTICS="});
  ASSERT_TRUE(translator_->wait_for_err("accepted_frames", 20000));
  translator_->wait_for_out(130 * 1920, 20000);  // about 2.6 s of audio
  translator_->close_stdout_reader();
  ASSERT_TRUE(translator_->wait(20000));
  std::istringstream lines(translator_->err());
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line + "\n", kFormatLine);
  int statistics = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("VANTLE_CAPTURE rate=48000 channels=2 accepted_frames=", 0), 0u) << line;
    EXPECT_NE(line.find(" dropped_frames=0 discontinuities=0"), std::string::npos) << line;
    ++statistics;
  }
  EXPECT_GE(statistics, 1);
  EXPECT_LE(statistics, 4);
}

// The translator stops reading for a while: the pipe fills, the capture
// worker's write blocks, the queue between the packet loop and the worker
// fills and chunks are dropped. The packet loop goes on reading the device,
// which loses nothing; the drops are reported without diagnostics.
TEST_F(CaptureEndToEnd, ReaderStallDropsAreReportedWithoutDiagnostics) {
  start("default", {}, target_arguments());
  ASSERT_GE(translator_->wait_for_out(5 * 1920, 20000).size(), 5u * 1920) << translator_->err();
  translator_->pause_stdout_reader();
  // 2 s of audio: more than the pipe (64 KiB, about 0.7 s of PCM) and the
  // queue (about 0.34 s) hold together.
  const std::size_t before = packets_taken();
  for (int i = 0; i < 4000 && packets_taken() < before + 200; ++i)
    Sleep(5);
  ASSERT_GE(packets_taken(), before + 200);
  translator_->resume_stdout_reader();
  ASSERT_TRUE(translator_->wait_for_err("dropped_frames=", 20000)) << translator_->err();
  translator_->close_stdout_reader();
  ASSERT_TRUE(translator_->wait(20000));
  const std::string err = translator_->err();
  const std::size_t at = err.find("dropped_frames=");
  ASSERT_NE(at, std::string::npos);
  EXPECT_GT(std::stoull(err.substr(at + 15)), 0u) << err;
  EXPECT_EQ(position("stream.overflow"), -1) << "the device lost nothing";
}

// The host wakes late: after packet 5 the stand-in withholds its signal for
// 30 ticks (about 300 ms) while audio keeps arriving, and its 100 ms buffer
// overflows. The host goes on and counts the discontinuity; the PCM before
// the gap is exactly the whole blocks read before it (the partial block is
// dropped), and after it exactly the blocks from the position the stand-in
// logged for the first packet after the loss.
TEST_F(CaptureEndToEnd, LateWakeLosesAudioAndTheCaptureGoesOn) {
  start("late-wake:5", {}, target_arguments(), {L"VANTLE_AUDIO_DIAGNOSTICS="});
  std::vector<standin::LogLine> taken;  // the packets read, up to the flagged one
  for (int i = 0; i < 4000; ++i) {
    taken.clear();
    for (auto& line : standin::parse_log(read_file(log_path_))) {
      if (line.event == "capture_client.GetBuffer" && line.field("frames"))
        taken.push_back(std::move(line));
    }
    const auto flagged = std::find_if(
        taken.begin(), taken.end(), [](const auto& line) { return line.field("flags") == "0x1"; });
    if (flagged != taken.end()) {
      taken.erase(flagged + 1, taken.end());
      break;
    }
    taken.clear();
    Sleep(5);
  }
  ASSERT_FALSE(taken.empty()) << "no packet after a loss: " << translator_->err();
  std::uint64_t before_gap = 0;  // frames, continuous from 0
  for (std::size_t i = 0; i + 1 < taken.size(); ++i) {
    ASSERT_EQ(taken[i].field("position"), std::to_string(before_gap)) << i;
    ASSERT_EQ(taken[i].field("flags"), "0x0") << i;
    before_gap += std::stoull(taken[i].field("frames").value_or("0"));
  }
  const std::uint64_t after_gap = std::stoull(taken.back().field("position").value_or("0"));
  ASSERT_GT(after_gap, before_gap) << "frames were lost";

  const std::size_t whole_before = before_gap / 960;  // the partial block is dropped
  constexpr std::size_t kBlocksAfter = 20;
  const std::string pcm = translator_->wait_for_out((whole_before + kBlocksAfter) * 1920, 20000);
  ASSERT_GE(pcm.size(), (whole_before + kBlocksAfter) * 1920) << translator_->err();
  ASSERT_TRUE(translator_->wait_for_err("discontinuities=1", 20000)) << translator_->err();
  translator_->close_stdout_reader();
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(translator_->exit_code(), 0u) << translator_->err();
  EXPECT_EQ(pcm.substr(0, whole_before * 1920), expected_pcm(0, whole_before * 1920));
  EXPECT_EQ(pcm.substr(whole_before * 1920, kBlocksAfter * 1920),
            expected_pcm(0, kBlocksAfter * 1920, after_gap));

  // No error; the host's own queue lost nothing, the device did.
  std::istringstream lines(translator_->err());
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line + "\n", kFormatLine);
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("VANTLE_CAPTURE rate=48000 channels=2 accepted_frames=", 0), 0u) << line;
  }
  EXPECT_NE(translator_->err().find(" dropped_frames=0 discontinuities=1\n"), std::string::npos)
      << translator_->err();
  EXPECT_GE(position("stream.overflow"), 0);
  const auto events = log_events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e.rfind("stream.withheld ", 0) == 0; }),
            standin::kLateWakeTicks);
}

// Refusals before any audio object exists: process trees and identities.
TEST_F(CaptureEndToEnd, RefusesTargetsThatTouchTheTranslatorAndChangedIdentities) {
  const std::string touches = "selected process tree includes the translator or belongs to it";
  // A second instance of the helper, as if the application had been restarted.
  Child restarted;
  HelperIdentity restarted_id;
  std::string error;
  ASSERT_TRUE(
      test_support::start_window_helper(restarted, {L"--visible", L"0"}, restarted_id, error));

  struct Case {
    const char* name;
    std::vector<std::wstring> parent;
    std::vector<std::wstring> host;
    std::string message;
  };
  const auto identity_of = [](const std::wstring& who) {
    return std::vector<std::wstring>{L"--expected-exe", L"{exe:" + who + L"}", L"--expected-start",
                                     L"{start:" + who + L"}"};
  };
  const auto target = [&](const std::wstring& who) {
    // The translator fills in {pid:WHO}, {exe:WHO} and {start:WHO}.
    std::vector<std::wstring> args = {L"--exclude-pids", L"{self}", L"--target",
                                      L"{pid:" + who + L"}"};
    for (auto& a : identity_of(who))
      args.push_back(a);
    return args;
  };
  std::vector<Case> cases = {
      {"the translator itself", {}, target(L"self"), touches},
      {"the host's sibling under the translator", {L"--child"}, target(L"child"), touches},
      {"a grandchild of the translator", {L"--grandchild"}, target(L"grandchild"), touches},
      {"the translator's parent", {}, target(L"parent"), touches},
      {"excluded PID not the parent",
       {},
       {L"--exclude-pids", std::to_wstring(target_id_.pid), L"--target", L"system"},
       "excluded PID must be the helper's parent application"},
      {"restarted application, old start time",
       {},
       {L"--exclude-pids", L"{self}", L"--target", L"pid:" + std::to_wstring(restarted_id.pid),
        L"--expected-exe", test_support::widen(restarted_id.exe), L"--expected-start",
        std::to_wstring(target_id_.start_time)},
       "selected process identity changed; refresh the process list"},
  };
  for (Case& c : cases) {
    finish_log();
    translator_ = std::make_unique<Child>();
    start("default", c.parent, c.host);
    ASSERT_TRUE(translator_->wait(20000)) << c.name;
    EXPECT_EQ(translator_->exit_code(), 1u) << c.name;
    EXPECT_EQ(translator_->err(), error_line(c.message)) << c.name;
    EXPECT_EQ(translator_->out(), "") << c.name;
    EXPECT_EQ(read_file(log_path_), "") << c.name << ": no activation was attempted";
  }

  // A sibling of the translator is accepted.
  finish_log();
  translator_ = std::make_unique<Child>();
  start("default", {}, target_arguments());
  EXPECT_GE(translator_->wait_for_out(1920, 20000).size(), 1920u) << translator_->err();
}

// The translator stops reading but keeps the pipe open: once the pipe is
// full the capture worker's write waits for room. The console stop must not
// wait with it: the host takes everything down and exits, normally, while
// the reader still reads nothing (the write is cancelled).
TEST_F(CaptureEndToEnd, ConsoleStopIsNotHeldByAReaderThatStoppedReading) {
  start("default", {L"--ctrl-c-after-ms", L"4000"}, target_arguments());
  ASSERT_GE(translator_->wait_for_out(1920, 20000).size(), 1920u) << translator_->err();
  translator_->pause_stdout_reader();
  const DWORD status = host_exit_status(10000);  // nothing is read meanwhile
  std::uint64_t frames_taken = 0;
  std::optional<long long> stop_ms, released_ms;
  for (const auto& line : standin::parse_log(read_file(log_path_))) {
    if (line.event == "capture_client.GetBuffer" && line.field("frames"))
      frames_taken += std::stoull(*line.field("frames"));
    if (line.without_timing().rfind("audio_client.Stop", 0) == 0)
      stop_ms = std::stoll(line.field("t_ms").value_or("0"));
    if (line.without_timing() == "capture_client.Release refs=0")
      released_ms = std::stoll(line.field("t_ms").value_or("0"));
  }
  translator_->resume_stdout_reader();
  ASSERT_TRUE(translator_->wait(20000));
  EXPECT_EQ(status, 0u) << "the host still ran 10 s after Ctrl+C with its reader stalled";
  EXPECT_EQ(translator_->exit_code(), 0u);
  // No error; the drops are reported (the reader's last read before it
  // paused may have let a write through, and a line with it).
  std::istringstream lines(translator_->err());
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line + "\n", kFormatLine);
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("VANTLE_CAPTURE rate=48000 channels=2 accepted_frames=", 0), 0u) << line;
  }
  // The stall was real: the pipe and the queue hold about a second of the
  // PCM; more than that of what the host took never reached the reader.
  EXPECT_GT(frames_taken * 2, translator_->out().size() + 96000) << frames_taken;
  if (stop_ms && released_ms) {
    std::printf(
        "Stop of the audio client to the capture client's release (the pipeline "
        "stop between them), reader stalled: %lld ms\n",
        *released_ms - *stop_ms);
  }
}

}  // namespace
