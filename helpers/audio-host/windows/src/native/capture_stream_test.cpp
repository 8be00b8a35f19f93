// The loopback activation, the capture stream and the packet loop against
// the stand-in loopback device (a test-only mmdevapi.dll, loaded through
// WINEDLLOVERRIDES=mmdevapi=n), which plays scripted scenarios and logs
// every call the host makes.
#include "native/capture_stream.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "capture_testing.h"
#include "native/loopback_activation.h"
#include "native/system_error.h"
#include "standin_protocol.h"

namespace audio_host::win {
namespace {

using namespace std::chrono_literals;
namespace standin = standin_loopback;

std::string system_text(std::uint32_t code) {
  SetErrorInfo(0, nullptr);
  return system_error_text(SystemError::from_hresult(static_cast<HRESULT>(code)));
}

std::uint32_t scenario_code(std::string_view name) {
  return standin::parse_scenario(name)->info->code;
}

// What the packet loop delivered into the pipeline's producer, in order:
// each queued chunk, and a discontinuity wherever the positions jump.
struct Delivery {
  bool discontinuity = false;
  std::vector<float> samples;
};

// The producer's queue with a reader of its own: a thread that takes every
// chunk at once (so that nothing is dropped) and asks the loop to stop once
// `stop_after_frames` frames have come.
class QueueReader {
 public:
  explicit QueueReader(std::uint64_t stop_after_frames)
      : queue_(vantle_audio::testing::CaptureQueue::create(kCaptureChannels)),
        stop_after_frames_(stop_after_frames),
        thread_([this] { read(); }) {}
  ~QueueReader() { finish(); }

  vantle_audio::CaptureProducer& producer() { return queue_.producer; }
  const std::atomic<bool>& stop() const { return stop_; }

  // Takes what is left and ends the thread; the deliveries are complete.
  const std::vector<Delivery>& finish() {
    done_.store(true);
    if (thread_.joinable())
      thread_.join();
    return deliveries_;
  }
  std::uint64_t frames() const { return frames_.load(); }
  std::uint64_t dropped_frames() const { return queue_.producer.counters().dropped_frames; }

 private:
  void read() {
    std::uint64_t expected = 0;
    for (;;) {
      const vantle_audio::FrameChunk* chunk = queue_.consumer.front();
      if (chunk == nullptr) {
        if (done_.load())
          return;
        std::this_thread::sleep_for(1ms);
        continue;
      }
      if (chunk->position != expected)
        deliveries_.push_back(Delivery{true, {}});
      // A run of silence is one chunk however long; it reads as its zeros.
      const std::uint64_t chunk_frames =
          chunk->silent_frames != 0 ? chunk->silent_frames : chunk->sample_count / kCaptureChannels;
      if (chunk->silent_frames != 0) {
        deliveries_.push_back(
            Delivery{false, std::vector<float>(chunk->silent_frames * kCaptureChannels, 0.0f)});
      } else {
        deliveries_.push_back(
            Delivery{false, {chunk->samples, chunk->samples + chunk->sample_count}});
      }
      expected = chunk->position + chunk_frames;
      const std::uint64_t frames = frames_ += chunk_frames;
      queue_.consumer.pop();
      if (stop_after_frames_ != 0 && frames >= stop_after_frames_)
        stop_.store(true);
    }
  }

  vantle_audio::testing::CaptureQueue queue_;
  const std::uint64_t stop_after_frames_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<std::uint64_t> frames_{0};
  std::vector<Delivery> deliveries_;  // the thread's until finish()
  std::thread thread_;
};

class CaptureStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto com = initialize_com_mta();
    ASSERT_TRUE(com.ok()) << com.error();
    com_ = std::move(com).value();
    new_log();
  }
  void TearDown() override {
    stream_.reset();
    com_.reset();
    for (const auto& path : logs_)
      DeleteFileW(path.c_str());
  }

  // A new, empty log file for the next activations. The last one is not
  // deleted yet: the stand-in may hold it open a moment longer (until its
  // completion thread has ended), and a file deleted while open lingers, so
  // the next activation would append to it.
  void new_log() {
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    wchar_t file[MAX_PATH];
    GetTempFileNameW(folder, L"sil", 0, file);
    log_path_ = file;
    logs_.push_back(log_path_);
    SetEnvironmentVariableW(standin::kLogVariableW, log_path_.c_str());
  }

  void scenario(const char* text) { SetEnvironmentVariableA(standin::kScenarioVariable, text); }

  std::vector<standin::LogLine> log() const {
    std::ifstream file(log_path_.c_str(), std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return standin::parse_log(text.str());
  }
  std::vector<std::string> events(std::string_view prefix) const {
    std::vector<std::string> found;
    for (const auto& line : log()) {
      if (line.event.starts_with(prefix))
        found.push_back(line.without_timing());
    }
    return found;
  }

  // Activates in include mode and opens the stream.
  Status open(const char* scenario_text) {
    scenario(scenario_text);
    auto client = activate_process_loopback(GetCurrentProcessId(), LoopbackMode::include_tree, 5s);
    if (!client)
      return Status(std::move(client).take_error());
    auto stream = open_capture_stream(std::move(client).value());
    if (!stream)
      return Status(std::move(stream).take_error());
    stream_.emplace(std::move(stream).value());
    return Status::success();
  }

  // Opens, starts and loops until the producer has queued `frames` frames
  // or the loop ends by itself; then deliveries_ holds what was queued.
  Status capture(const char* scenario_text, std::uint64_t frames, bool with_selected = true) {
    stream_.reset();
    deliveries_.clear();
    Status opened = open(scenario_text);
    if (!opened)
      return opened;
    Status started = start_capture_stream(*stream_);
    if (!started)
      return started;
    QueueReader reader(frames);
    const Status ended = run_packet_loop(
        PacketLoopInputs{reader.stop(), output_failed_, translator_,
                         with_selected ? &selected_ : nullptr, *stream_, reader.producer()});
    deliveries_ = reader.finish();
    frames_ = reader.frames();
    if (!queue_may_overflow_) {
      EXPECT_EQ(reader.dropped_frames(), 0u) << "the reader keeps up: nothing is dropped";
    }
    return ended;
  }

  // A process identity whose "process" is a manual-reset event: set, the
  // process has ended.
  static ProcessIdentity fake_process() {
    return ProcessIdentity("fake.exe", 1,
                           vantle::ProcessHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)));
  }

  ComApartment com_;
  std::wstring log_path_;
  std::vector<std::wstring> logs_;
  ProcessIdentity translator_ = fake_process();
  ProcessIdentity selected_ = fake_process();
  std::optional<CaptureStream> stream_;
  std::vector<Delivery> deliveries_;
  std::uint64_t frames_ = 0;
  std::atomic<bool> output_failed_{false};
  // More chunks at one signal than the queue holds.
  bool queue_may_overflow_ = false;
};

TEST_F(CaptureStreamTest, ActivationContractForEachTarget) {
  struct Case {
    bool include_tree;
    DWORD pid;
    const char* mode;
  };
  for (const Case& c : {Case{true, 4242, "0"}, Case{false, 77, "1"}}) {
    new_log();
    scenario("default");
    auto client = activate_process_loopback(
        c.pid, c.include_tree ? LoopbackMode::include_tree : LoopbackMode::exclude_tree, 5s);
    ASSERT_TRUE(client.ok()) << client.error();
    const auto activation = log().front();
    ASSERT_EQ(activation.event, "activate");
    EXPECT_EQ(activation.field("path"), "VAD\\Process_Loopback");
    EXPECT_EQ(activation.field("iid"), "IAudioClient");
    EXPECT_EQ(activation.field("vt"), "65");
    EXPECT_EQ(activation.field("blob_size"), "12");
    EXPECT_EQ(activation.field("activation_type"), "1");
    EXPECT_EQ(activation.field("pid"), std::to_string(c.pid));
    EXPECT_EQ(activation.field("mode"), c.mode);
    EXPECT_EQ(activation.field("contract"), "ok");
  }
  // The handler was asked for agility and every reference to it went back.
  EXPECT_EQ(events("handler.QueryInterface").front(),
            "handler.QueryInterface iid=IAgileObject result=0x00000000 object=yes");
}

TEST_F(CaptureStreamTest, ActivationFailuresHaveTheirMessages) {
  const std::string build = "process-loopback activation (requires supported Windows build): ";
  struct Case {
    const char* scenario;
    std::string message;
  };
  const Case cases[] = {
      {"activate-fails",
       "activate process loopback: " + system_text(scenario_code("activate-fails"))},
      {"activate-fails+error-info",
       "activate process loopback: stand-in ActivateAudioInterfaceAsync "
       "failure (0x8007000E)"},
      {"no-operation", "activate process loopback: " + system_text(0)},
      {"null-operation", "activation operation missing"},
      {"activate-result-fails", "activation result: " + system_text(0x8000FFFF)},
      {"activate-result-fails+error-info",
       "activation result: stand-in GetActivateResult failure (0x8000FFFF)"},
      {"activation-denied", build + system_text(0x80070005)},
      {"no-interface", "activated interface missing"},
      {"no-audio-client", "audio client: " + system_text(0x80004002)},
      {"audio-client-null", "audio client: " + system_text(0x80004003)},
      {"no-completion", "process-loopback activation timed out"},
  };
  for (const Case& c : cases) {
    scenario(c.scenario);
    auto client =
        activate_process_loopback(GetCurrentProcessId(), LoopbackMode::include_tree, 300ms);
    ASSERT_FALSE(client.ok()) << c.scenario;
    EXPECT_EQ(client.error(), c.message) << c.scenario;
  }
}

TEST_F(CaptureStreamTest, OpenFailuresHaveTheirContexts) {
  struct Case {
    const char* scenario;
    std::string message;
  };
  const Case cases[] = {
      {"initialize-fails", "initialize float32 process capture: " + system_text(0x88890008)},
      {"initialize-fails+error-info",
       "initialize float32 process capture: stand-in Initialize failure (0x88890008)"},
      {"buffer-size-fails", "capture buffer size: " + system_text(0x88890001)},
      {"service-fails", "capture service: " + system_text(0x80004002)},
      {"service-null", "capture service: " + system_text(0)},
      {"set-event-fails", "set capture event: " + system_text(0x80070006)},
  };
  for (const Case& c : cases) {
    Status opened = open(c.scenario);
    ASSERT_FALSE(opened.ok()) << c.scenario;
    EXPECT_EQ(opened.error(), c.message);
    stream_.reset();  // what was created goes: event, capture client, audio client
  }
  // The stream's arguments were the contract's, and nothing else was asked.
  for (const auto& line : log()) {
    if (line.field("contract")) {
      EXPECT_EQ(line.field("contract"), "ok") << line.without_timing();
    }
  }
}

TEST_F(CaptureStreamTest, DeliversTheSignalInOrderAndStopsOnRequest) {
  ASSERT_TRUE(capture("default", 4800).ok());
  EXPECT_EQ(stream_->buffer_frames, standin::kBufferFrames);
  std::vector<float> expected(frames_ * 2);
  standin::fill_signal(0, 0, static_cast<std::uint32_t>(frames_), expected.data());
  std::vector<float> delivered;
  for (const auto& d : deliveries_) {
    ASSERT_FALSE(d.discontinuity);
    EXPECT_EQ(d.samples.size(), 960u);  // one push per 480-frame packet
    delivered.insert(delivered.end(), d.samples.begin(), d.samples.end());
  }
  EXPECT_EQ(delivered, expected);

  stop_capture_stream(*stream_);
  stream_.reset();
  const auto ends = events("audio_client.Stop");
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0], "audio_client.Stop contract=ok result=0x00000000");
}

TEST_F(CaptureStreamTest, SilenceAndDiscontinuityPackets) {
  struct Case {
    const char* scenario;
    std::vector<std::pair<bool, std::size_t>> first;  // (discontinuity, zeros pushed)
  };
  const Case cases[] = {
      {"silent-480:1", {{false, 960}}},
      {"silent-1000:1", {{false, 2000}}},  // a run of silence is one chunk
      {"discontinuity-silent:1", {{true, 0}, {false, 960}}},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(capture(c.scenario, 1000).ok()) << c.scenario;
    ASSERT_GE(deliveries_.size(), c.first.size());
    for (std::size_t i = 0; i < c.first.size(); ++i) {
      const Delivery& d = deliveries_[i];
      EXPECT_EQ(d.discontinuity, c.first[i].first) << c.scenario << " #" << i;
      EXPECT_EQ(d.samples.size(), c.first[i].second) << c.scenario << " #" << i;
      if (!d.discontinuity) {
        EXPECT_EQ(d.samples, std::vector<float>(d.samples.size(), 0.0f));
      }
    }
    stream_.reset();
  }
  // A discontinuity is marked before the packet's samples.
  ASSERT_TRUE(capture("discontinuity:2", 1500).ok());
  ASSERT_GE(deliveries_.size(), 3u);
  EXPECT_FALSE(deliveries_[0].discontinuity);
  EXPECT_TRUE(deliveries_[1].discontinuity);
  std::vector<float> expected(960);
  standin::fill_signal(0, 480 + standin::kDiscontinuityGapFrames, 480, expected.data());
  EXPECT_EQ(deliveries_[2].samples, expected);
}

TEST_F(CaptureStreamTest, PacketSizeLimitsAndPointers) {
  // Exactly the buffer size is accepted.
  ASSERT_TRUE(capture("packet-buffer-size:1", 4800).ok());
  std::vector<float> first;  // the packet's chunks
  for (std::size_t i = 0; i < deliveries_.size() && first.size() < 9600; ++i) {
    first.insert(first.end(), deliveries_[i].samples.begin(), deliveries_[i].samples.end());
  }
  std::vector<float> whole(9600);
  standin::fill_signal(0, 0, 4800, whole.data());
  EXPECT_EQ(first, whole);
  stream_.reset();

  struct Case {
    const char* scenario;
    const char* message;
    const char* released;  // the ReleaseBuffer that precedes the error
  };
  const Case cases[] = {
      {"packet-over-buffer:1", "capture packet exceeded negotiated buffer", "frames=4801"},
      {"misaligned-data:2", "invalid float capture buffer", "frames=480"},
  };
  for (const Case& c : cases) {
    new_log();
    const Status result = capture(c.scenario, 0);
    ASSERT_FALSE(result.ok()) << c.scenario;
    EXPECT_EQ(result.error(), c.message);
    const auto releases = events("capture_client.ReleaseBuffer");
    ASSERT_FALSE(releases.empty());
    EXPECT_NE(releases.back().find(c.released), std::string::npos) << releases.back();
    stream_.reset();
  }

  // A zero-frame packet pushes nothing but is still released.
  new_log();
  ASSERT_TRUE(capture("zero-frame-packet:1", 960).ok());
  const auto releases = events("capture_client.ReleaseBuffer");
  ASSERT_FALSE(releases.empty());
  EXPECT_NE(releases.front().find("frames=0 contract=ok"), std::string::npos) << releases.front();
  std::vector<float> expected(960);
  standin::fill_signal(0, 0, 480, expected.data());  // an empty packet takes no positions
  EXPECT_EQ(deliveries_.front().samples, expected) << "packet 2 comes first";
}

// GetBuffer can find nothing although GetNextPacketSize announced a packet:
// nothing was acquired, so nothing is released and the pass ends; the packet
// comes after the next signal, and no audio is lost.
TEST_F(CaptureStreamTest, AnEmptyAnswerReleasesNothingAndEndsThePass) {
  ASSERT_TRUE(capture("buffer-empty:3", 6 * 480).ok());
  std::vector<float> expected(frames_ * 2);
  standin::fill_signal(0, 0, static_cast<std::uint32_t>(frames_), expected.data());
  std::vector<float> delivered;
  for (const auto& d : deliveries_) {
    ASSERT_FALSE(d.discontinuity);
    delivered.insert(delivered.end(), d.samples.begin(), d.samples.end());
  }
  EXPECT_EQ(delivered, expected);

  const auto lines = log();
  std::size_t empty = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].event == "capture_client.GetBuffer" && lines[i].field("result") == "0x08890001") {
      empty = i;
    }
    if (const auto contract = lines[i].field("contract")) {
      EXPECT_EQ(*contract, "ok") << lines[i].without_timing();
    }
  }
  ASSERT_LT(empty, lines.size()) << "the stand-in never answered AUDCLNT_S_BUFFER_EMPTY";
  EXPECT_EQ(lines[empty].field("packet"), "3");
  // Next: a signal, then a new pass; no ReleaseBuffer in between.
  std::vector<std::string> after;
  for (std::size_t i = empty + 1; i < lines.size() && after.size() < 2; ++i) {
    if (lines[i].event.starts_with("capture_client.") || lines[i].event == "stream.signal")
      after.push_back(lines[i].event);
  }
  EXPECT_EQ(after, (std::vector<std::string>{"stream.signal", "capture_client.GetNextPacketSize"}));
}

TEST_F(CaptureStreamTest, PacketCallFailuresHaveTheirContexts) {
  struct Case {
    const char* scenario;
    std::string message;
  };
  const Case cases[] = {
      {"packet-size-fails:3", "next capture packet: " + system_text(0x88890004)},
      {"get-buffer-fails:2", "read capture packet: " + system_text(0x88890018)},
      {"release-buffer-fails:2+error-info",
       "release capture packet: stand-in ReleaseBuffer failure (0x88890009)"},
      {"start-fails", "start process capture: " + system_text(0x8889000A)},
  };
  for (const Case& c : cases) {
    const Status result = capture(c.scenario, 0);
    ASSERT_FALSE(result.ok()) << c.scenario;
    EXPECT_EQ(result.error(), c.message);
    stream_.reset();
  }
}

TEST_F(CaptureStreamTest, ReadsAtMost64PacketsPerSignal) {
  // 70 packets wait at the first signal; the stand-in's next tick waits
  // until 64 have been taken, so the count does not depend on timing.
  // What the producer's queue drops of them is not the point here.
  queue_may_overflow_ = true;
  ASSERT_TRUE(capture("backlog-70", 70 * standin::kBacklogPacketFrames + 480).ok());
  // The signal each packet was read after, by packet.
  std::vector<int> signal_of;
  int signals = 0;
  for (const auto& line : log()) {
    if (line.event == "stream.signal")
      ++signals;
    if (line.event == "capture_client.GetBuffer" && line.field("frames"))
      signal_of.push_back(signals);
  }
  ASSERT_GE(signal_of.size(), 70u);
  for (std::size_t i = 0; i < 70; ++i) {
    if (i < 64) {
      EXPECT_EQ(signal_of[i], 1) << "packet " << i + 1;
    } else {
      EXPECT_GE(signal_of[i], 2) << "packet " << i + 1;
    }
  }
}

TEST_F(CaptureStreamTest, StopConditions) {
  // The output failed: a normal end.
  output_failed_.store(true);
  EXPECT_TRUE(capture("default", 0).ok());
  EXPECT_TRUE(deliveries_.empty());
  output_failed_.store(false);
  stream_.reset();

  // The translator ended: a normal end, also for a system capture.
  for (const bool with_selected : {true, false}) {
    SetEvent(translator_.handle());
    EXPECT_TRUE(capture("default", 0, with_selected).ok());
    ResetEvent(translator_.handle());
    stream_.reset();
  }

  // The selected process ended: an error; a system capture has no such check.
  SetEvent(selected_.handle());
  const Status ended = capture("default", 0);
  ASSERT_FALSE(ended.ok());
  EXPECT_EQ(ended.error(), "selected process exited");
  stream_.reset();
  EXPECT_TRUE(capture("default", 960, /*with_selected=*/false).ok());
  EXPECT_GE(frames_, 960u);
}

// The real ten seconds: the wait gives up, and the client that the late
// completion then obtains is released at once.
TEST_F(CaptureStreamTest, LateCompletionIsDiscardedAfterTheTimeOut) {
  scenario("late-completion");
  const auto started = std::chrono::steady_clock::now();
  auto client = activate_process_loopback(GetCurrentProcessId(), LoopbackMode::include_tree);
  const auto waited = std::chrono::steady_clock::now() - started;
  ASSERT_FALSE(client.ok());
  EXPECT_EQ(client.error(), "process-loopback activation timed out");
  EXPECT_GE(waited, 9900ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(standin::kLateCompletionMs) - waited +
                              500ms);
  const auto end = events("completion.end");
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0], "completion.end audio_clients_alive=0");
}

}  // namespace
}  // namespace audio_host::win
