// Long captures and faults against a real sound server: a player whose
// clock runs fast, the server restarted during a capture, a target that
// restarts its stream 50 times, and a reader that stalls. scripts/soak runs
// them with a 10-minute drift soak (VANTLE_SOAK_SECONDS=600); the test
// command with a 1-minute one (the default). The bounds are wide (the
// machine is shared); the only timing checked is what the capture promises:
// 48000 frames per second of wall time, and an end within a bound.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>

#include "pulse/mixer.h"
#include "support/host_session.h"
#include "support/sound.h"

namespace {

using Clock = std::chrono::steady_clock;
using test_support::Child;
using test_support::HostSession;
using test_support::kFormatLine;
using test_support::Milliseconds;
using test_support::target_arguments;

constexpr Milliseconds kTimeout(20000);
constexpr std::size_t kBlockBytes = 1920;       // 20 ms of mono s16le
constexpr double kPcmBytesPerSecond = 96000.0;  // the same, per second
constexpr double kFastRate = 48048.0;           // the fast player's frames per second

double soak_seconds() {
  const char* text = std::getenv("VANTLE_SOAK_SECONDS");
  const double seconds = text != nullptr ? std::atof(text) : 0;
  return seconds > 0 ? seconds : 60;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

test_support::SpawnOptions quiet() {
  test_support::SpawnOptions options;
  options.capture_output = false;
  return options;
}

// Reads a FIFO on a thread of its own at `frames_per_second` frames of
// `frame_bytes` per second of the monotonic clock. A pipe sink that writes
// the FIFO runs at the pace its reader takes: this is its clock.
class PacedReader {
 public:
  PacedReader(const std::string& path, double frames_per_second, std::size_t frame_bytes)
      : fd_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
        frames_per_second_(frames_per_second),
        frame_bytes_(frame_bytes) {
    if (fd_ >= 0) {
      thread_ = std::thread([this] { run(); });
    }
  }
  PacedReader(const PacedReader&) = delete;
  PacedReader& operator=(const PacedReader&) = delete;
  ~PacedReader() {
    running_ = false;
    if (thread_.joinable()) {
      thread_.join();
    }
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  bool reading() const { return fd_ >= 0; }

 private:
  void run() {
    std::array<char, 65536> buffer{};
    const auto start = Clock::now();
    auto next = start;
    std::uint64_t taken = 0;
    while (running_) {
      const auto due =
          static_cast<std::uint64_t>(seconds_since(start) * frames_per_second_) * frame_bytes_;
      while (taken < due) {
        const ssize_t got =
            ::read(fd_, buffer.data(), std::min<std::uint64_t>(buffer.size(), due - taken));
        if (got <= 0) {
          break;  // nothing there yet: the writer catches up
        }
        taken += static_cast<std::uint64_t>(got);
      }
      next += Milliseconds(2);
      std::this_thread::sleep_until(next);
    }
  }

  int fd_;
  double frames_per_second_;
  std::size_t frame_bytes_;
  std::atomic<bool> running_{true};
  std::thread thread_;
};

// Tone segments in mono s16le PCM at 48 kHz: groups of 10 ms windows whose
// RMS is above -26 dBFS, at least 3 of them, where a quiet of less than 50 ms
// does not end a group. Times in 10 ms windows.
struct ToneSegment {
  std::size_t start = 0;
  std::size_t end = 0;           // one past its last loud window
  std::size_t quiet_before = 0;  // since the previous segment's end
};

std::vector<ToneSegment> tone_segments(const std::string& pcm) {
  constexpr std::size_t kWindow = 480;
  constexpr double kLoud = 0.05;
  constexpr std::size_t kMinLoud = 3;
  constexpr std::size_t kMinQuiet = 5;
  std::vector<ToneSegment> segments;
  std::optional<ToneSegment> group;
  std::size_t loud_windows = 0;
  std::size_t previous_end = 0;
  const auto close_group = [&] {
    if (group && loud_windows >= kMinLoud) {
      group->quiet_before = group->start - previous_end;
      previous_end = group->end;
      segments.push_back(*group);
    }
    group.reset();
    loud_windows = 0;
  };
  for (std::size_t window = 0; (window + 1) * 2 * kWindow <= pcm.size(); ++window) {
    double sum = 0;
    for (std::size_t i = 0; i < kWindow; ++i) {
      const std::size_t at = (window * kWindow + i) * 2;
      const auto low = static_cast<unsigned char>(pcm[at]);
      const auto high = static_cast<unsigned char>(pcm[at + 1]);
      const double sample = static_cast<std::int16_t>(low | (high << 8)) / 32768.0;
      sum += sample * sample;
    }
    if (std::sqrt(sum / kWindow) <= kLoud) {
      continue;
    }
    if (group && window - group->end >= kMinQuiet) {
      close_group();
    }
    if (!group) {
      group = ToneSegment{window, window, 0};
    }
    group->end = window + 1;
    ++loud_windows;
  }
  close_group();
  return segments;
}

class Soak : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test_support::sound_server_kind().empty()) {
      GTEST_SKIP() << "needs a sound server: run under scripts/with-sound-server";
    }
  }
};

// A pipe sink read at 48048 frames per second is a device whose clock runs
// 0.1 % fast: its player is asked for 48048 frames per second of wall time,
// and the monitor of the player's stream delivers as many. The host mixes
// on the monotonic clock: its output stays 48000 frames per second, and
// what it cannot play out is dropped and counted.
TEST_F(Soak, PlayerWhoseClockRunsFastIsHeldTo48000FramesPerSecond) {
  if (test_support::sound_server_kind() == "pipewire") {
    GTEST_SKIP() << "PipeWire 0.3's pipe sink follows the graph's clock, not its reader";
  }
  const double seconds = soak_seconds();
  test_support::TempFolder folder;
  const std::string sink_fifo = folder.path() + "/fast-sink";
  const test_support::LoadedModule sink({"module-pipe-sink", "file=" + sink_fifo,
                                         "sink_name=soak-fast", "rate=48000", "channels=2",
                                         "format=s16le"});
  ASSERT_TRUE(sink.loaded());
  const PacedReader fast_clock(sink_fifo, kFastRate, 4);
  ASSERT_TRUE(fast_clock.reading());

  // The player: pacat playing a sine that sox writes into a FIFO.
  const std::string tone_fifo = folder.path() + "/tone";
  ASSERT_EQ(::mkfifo(tone_fifo.c_str(), 0600), 0);
  Child sox;
  ASSERT_TRUE(sox.start(
      {"sox", "-n", "-t", "raw", "-r", "48000", "-c", "2", "-b", "16", "-e", "signed-integer",
       tone_fifo, "synth", std::to_string(seconds + 120), "sine", "440", "vol", "0.5"},
      quiet()));
  Child player;
  ASSERT_TRUE(player.start({"pacat", "--device=soak-fast", "--raw", "--format=s16le",
                            "--rate=48000", "--channels=2", tone_fifo},
                           quiet()));
  const auto stream = test_support::sink_input_of(player.pid(), kTimeout);
  ASSERT_TRUE(stream);
  // What the server delivers of that stream, counted by its own recorder.
  Child reference;
  ASSERT_TRUE(
      reference.start({"parec", "--monitor-stream=" + std::to_string(*stream), "--format=u8",
                       "--rate=48000", "--channels=1", "--latency-msec=20"}));

  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  ASSERT_TRUE(session.start(target_arguments(player.pid()), options));
  Child& host = session.translator();
  ASSERT_TRUE(host.wait_for_out_bytes(1, kTimeout)) << host.err();

  const auto start = Clock::now();
  const double warm_up = std::min(60.0, seconds / 3);
  test_support::SlopeFit host_rate;
  test_support::SlopeFit server_rate;
  std::uint64_t rss_after_warm_up = 0;
  std::uint64_t rss_peak_after = 0;
  double next_rss = 0;
  for (double now = 0; now < seconds; now = seconds_since(start)) {
    host.pump(5);
    reference.pump(5);
    now = seconds_since(start);
    if (now >= 2) {
      host_rate.add(now, static_cast<double>(host.out().size()) / 2);
      server_rate.add(now, static_cast<double>(reference.out().size()));
    }
    if (now >= next_rss) {
      next_rss += 1;
      const auto rss = test_support::status_number(session.host_pid(), "VmRSS");
      ASSERT_TRUE(rss) << "the host ended early: " << host.err();
      if (now >= warm_up && rss_after_warm_up == 0) {
        rss_after_warm_up = *rss;
      }
      if (rss_after_warm_up != 0) {
        rss_peak_after = std::max(rss_peak_after, *rss);
      }
    }
  }
  const double captured = seconds_since(start);
  const auto peak = test_support::status_number(session.host_pid(), "VmHWM");
  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  EXPECT_EQ(host.out().size() % kBlockBytes, 0u);

  // The setup works: the host's input runs fast.
  ASSERT_GT(server_rate.slope(), 48000 + (kFastRate - 48000) / 2)
      << "the server did not deliver the fast clock's rate";
  // The output holds 48000 frames per second of wall time (within 100 ppm,
  // a tenth of the player's surplus).
  EXPECT_NEAR(host_rate.slope(), 48000.0, 4.8) << "host output frames per second";

  int lines = 0;
  int others = 0;
  const auto statistics = test_support::last_statistics(host.err(), &lines, &others);
  ASSERT_TRUE(statistics) << host.err();
  EXPECT_EQ(others, 0) << host.err();
  // Every frame the host received and did not play out is counted as
  // dropped, but for what its jitter buffer holds (at most the high-water
  // mark). Nothing else is lost: beyond the surplus, only what a buffer
  // that ran dry (a counted discontinuity, filled with silence) held back
  // again, at most a high-water mark each (100 ms of slack for the
  // measurement).
  const double surplus = (server_rate.slope() - 48000) * captured;
  const double held = static_cast<double>(audio_host::MixerLimits().high_water_frames);
  const double dropped = static_cast<double>(statistics->dropped_frames);
  const double refilled = static_cast<double>(statistics->discontinuities) * held;
  EXPECT_LE(dropped, surplus + refilled + 4800) << "frames lost beyond the player's surplus";
  EXPECT_GE(dropped + held + 4800, surplus) << "surplus frames not counted";
  // Resident memory does not grow after the warm-up (1 MiB of slack for the
  // allocator's pages).
  EXPECT_LE(rss_peak_after, rss_after_warm_up + 1024) << "KiB after " << warm_up << " s";

  std::string why;
  const double end = static_cast<double>(host.out().size()) / kPcmBytesPerSecond;
  EXPECT_TRUE(test_support::tone_dominates(host.out(), end - 1.0, end, 440, 1000, &why)) << why;

  // How the drops came: the statistics line once a second.
  int drop_seconds = 0;
  std::uint64_t largest_drop = 0;
  std::uint64_t previous = 0;
  std::istringstream text(host.err());
  for (std::string line; std::getline(text, line);) {
    if (const auto counts = test_support::last_statistics(line)) {
      if (counts->dropped_frames > previous) {
        ++drop_seconds;
        largest_drop = std::max(largest_drop, counts->dropped_frames - previous);
      }
      previous = counts->dropped_frames;
    }
  }
  std::printf(
      "drift soak: %.0f s; the server delivered %.1f frames/s, the host wrote %.2f frames/s; "
      "dropped %llu (surplus %.0f) in %d of the seconds, at most %llu at once; "
      "discontinuities %llu, %d statistics lines; RSS %llu KiB after %.0f s, at most %llu KiB "
      "after, peak %llu KiB\n",
      captured, server_rate.slope(), host_rate.slope(),
      static_cast<unsigned long long>(statistics->dropped_frames), surplus, drop_seconds,
      static_cast<unsigned long long>(largest_drop),
      static_cast<unsigned long long>(statistics->discontinuities), lines,
      static_cast<unsigned long long>(rss_after_warm_up), warm_up,
      static_cast<unsigned long long>(rss_peak_after),
      static_cast<unsigned long long>(peak.value_or(0)));
}

// The sound server restarted under a running capture (scripts/with-sound-server
// restarts its own on SIGUSR1): the host ends with one error event and exit
// status 1, in whole blocks, and does not come back to the new server.
TEST_F(Soak, ServerRestartedDuringTheCaptureEndsItWithOneError) {
  test_support::TempFolder folder;
  const std::string env_file = folder.path() + "/server.env";
  Child wrapper;
  ASSERT_TRUE(wrapper.start({VANTLE_WITH_SOUND_SERVER, test_support::sound_server_kind(),
                             "--env-file", env_file, "--", "sleep", "600"},
                            quiet()));
  const auto environment = [&] {
    std::vector<std::string> lines;
    std::istringstream text(test_support::read_file(env_file));
    for (std::string line; std::getline(text, line);) {
      lines.push_back(line);
    }
    return lines;
  };
  ASSERT_TRUE(wrapper.pump_until([&] { return !environment().empty(); }, kTimeout));
  const std::vector<std::string> before = environment();

  // A player on that server, so that the host has a monitor stream open.
  Child player;
  test_support::SpawnOptions player_options = quiet();
  player_options.environment = before;
  player_options.unset = {"PULSE_SERVER"};
  ASSERT_TRUE(player.start({"paplay", test_support::Tones::file(440)}, player_options));
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = before;
  options.unset = {"PULSE_SERVER"};
  ASSERT_TRUE(session.start({"--exclude-pids", "{self}", "--target", "system"}, options));
  Child& host = session.translator();
  ASSERT_TRUE(host.wait_for_out_bytes(kBlockBytes * 50, kTimeout)) << host.err();

  wrapper.signal(SIGUSR1);
  const auto restarted = Clock::now();
  EXPECT_EQ(session.host_status(Milliseconds(15000)), 1) << "within 15 s";
  const double ended_after = seconds_since(restarted);
  const std::string prefix = R"({"code":"capture_failed","event":"error","message":")"
                             "sound server connection: ";
  const std::string& err = host.err();
  ASSERT_EQ(err.rfind(kFormatLine, 0), 0u) << err;
  // Statistics lines may come first (the monitors' first moments, counted),
  // then the error event, last and once.
  const std::size_t error_at = err.find(prefix);
  ASSERT_NE(error_at, std::string::npos) << err;
  const std::string rest = err.substr(error_at);
  EXPECT_EQ(std::count(rest.begin(), rest.end(), '\n'), 1) << "one error event, last: " << err;
  int others = 0;
  (void)test_support::last_statistics(err.substr(0, error_at), nullptr, &others);
  EXPECT_EQ(others, 0) << err;
  EXPECT_EQ(host.out().size() % kBlockBytes, 0u);

  // The server did come back: the env file names a new daemon that answers.
  ASSERT_TRUE(wrapper.pump_until([&] { return environment() != before && !environment().empty(); },
                                 kTimeout));
  EXPECT_TRUE(test_support::command_output({"pactl", "info"}, environment()));
  std::printf("server restart: the host ended after %.2f s with %s", ended_after, rest.c_str());
  wrapper.signal(SIGTERM);  // it ends its daemons
  EXPECT_TRUE(wrapper.wait(kTimeout));
}

// A target whose child plays a short tone, stops, and plays again, 50
// times: each new stream is found and captured, and the PCM shows 50 tone
// segments.
TEST_F(Soak, TargetRestartingItsStream50TimesIsPickedUpEachTime) {
  constexpr int kRestarts = 50;
  test_support::TempFolder folder;
  const std::string burst = folder.path() + "/burst.wav";
  ASSERT_TRUE(test_support::command_output({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16",
                                            burst, "synth", "0.3", "sine", "440", "vol", "0.5"}));
  const std::string gate = folder.path() + "/go";
  ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
  Child target;
  test_support::SpawnOptions options = quiet();
  options.own_group = true;
  ASSERT_TRUE(
      target.start({"sh", "-c",
                    "read go < " + gate + "; i=0; while [ $i -lt " + std::to_string(kRestarts) +
                        " ]; do paplay " + burst + "; sleep 0.15; i=$((i + 1)); done; sleep 0.5"},
                   options));
  HostSession session;
  test_support::TranslatorOptions diagnostics;
  diagnostics.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  ASSERT_TRUE(session.start(target_arguments(target.pid()), diagnostics));
  Child& host = session.translator();
  ASSERT_TRUE(host.wait_for_out_bytes(kBlockBytes * 25, kTimeout)) << host.err();
  const int go = ::open(gate.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(go, 0);
  ASSERT_EQ(::write(go, "\n", 1), 1);
  ::close(go);

  // The target ends after its last tone: so does the capture.
  EXPECT_EQ(session.host_status(Milliseconds(120000)), 1);
  const std::string& err = host.err();
  const std::string error = test_support::error_line("selected process exited");
  int others = 0;
  const auto statistics = test_support::last_statistics(err, nullptr, &others);
  EXPECT_EQ(err.rfind(kFormatLine, 0), 0u) << err;
  EXPECT_TRUE(err.ends_with(error)) << err;
  EXPECT_EQ(others, 1) << err;
  EXPECT_EQ(host.out().size() % kBlockBytes, 0u);

  // Each tone starts after the player's pause (150 ms and its start-up). A
  // tone cut in two by a shorter quiet is audio the host lost: the
  // statistics line must have counted it.
  const std::vector<ToneSegment> segments = tone_segments(host.out());
  std::ostringstream shown;
  int tones = 0;
  for (const ToneSegment& segment : segments) {
    const bool onset = tones == 0 || segment.quiet_before >= 10;
    tones += onset ? 1 : 0;
    shown << (onset ? "\n" : " | after ") << segment.quiet_before * 10
          << " ms quiet: " << segment.start * 10 << "-" << segment.end * 10 << " ms";
  }
  EXPECT_EQ(tones, kRestarts) << "tone segments in " << host.out().size() / kPcmBytesPerSecond
                              << " s of PCM:" << shown.str();
  if (segments.size() != static_cast<std::size_t>(tones)) {
    ASSERT_TRUE(statistics) << err;
    EXPECT_GT(statistics->discontinuities + statistics->dropped_frames, 0u)
        << "a tone was cut uncounted:" << shown.str();
  }
}

// The reader stops reading for 2 s, then reads on. The capture worker
// blocks on the full pipe; what reads the server does not (the libpulse
// host's main loop reading the monitor streams and mixing, the PipeWire
// host's process callback): the frames that find the queue full are
// dropped and counted, and the PCM goes on in whole blocks.
TEST_F(Soak, ReaderStallIsDroppedAndCountedWhileTheLoopRuns) {
  auto player = test_support::start_player(440);
  ASSERT_TRUE(player);
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  ASSERT_TRUE(session.start(target_arguments(player->pid()), options));
  Child& host = session.translator();
  ASSERT_TRUE(host.wait_for_out_bytes(static_cast<std::size_t>(3 * kPcmBytesPerSecond), kTimeout));

  // The context switches of the threads that read the server, every thread
  // but the capture worker: the libpulse host's main loop wakes for every
  // mix tick (5 ms) and server fragment, the PipeWire host's data thread for
  // every graph cycle.
  const std::string tasks = "/proc/" + std::to_string(session.host_pid()) + "/task/";
  const auto switches = [&] {
    std::uint64_t total = 0;
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      const std::string status = task.path().string() + "/status";
      if (test_support::read_file(task.path().string() + "/comm") != "vantle-capture\n") {
        total += test_support::status_number(status, "voluntary_ctxt_switches").value_or(0) +
                 test_support::status_number(status, "nonvoluntary_ctxt_switches").value_or(0);
      }
    }
    return total;
  };
  // What was counted before the stall (a player that began before the host
  // may have lost what its sink had rendered ahead).
  ASSERT_TRUE(host.wait_for_err("VANTLE_CAPTURE", kTimeout));
  const std::uint64_t dropped_before = test_support::last_statistics(host.err())->dropped_frames;
  const std::uint64_t before = switches();
  std::this_thread::sleep_for(Milliseconds(2000));  // nothing is read
  const std::uint64_t during = switches() - before;

  const std::size_t resumed = host.out().size();
  ASSERT_TRUE(host.pump_until(
      [&] {
        const auto statistics = test_support::last_statistics(host.err());
        return statistics && statistics->dropped_frames > dropped_before;
      },
      kTimeout))
      << host.err();
  ASSERT_TRUE(host.wait_for_out_bytes(resumed + static_cast<std::size_t>(3 * kPcmBytesPerSecond),
                                      kTimeout));
  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  EXPECT_EQ(host.out().size() % kBlockBytes, 0u);

  // The libpulse host's 5 ms tick alone wakes it 400 times in the 2 s; the
  // graph cycles at least every 8192 frames (11 times), whatever quantum
  // its players ask for.
  EXPECT_GE(during, test_support::expects_native_pipewire() ? 11u : 100u)
      << "wake-ups of the threads reading the server during the stall";
  int others = 0;
  const auto statistics = test_support::last_statistics(host.err(), nullptr, &others);
  ASSERT_TRUE(statistics);
  EXPECT_EQ(others, 0) << host.err();
  // The stall minus what the pipe and the queue hold (about 1 s) is
  // dropped; wide bounds.
  EXPECT_GE(statistics->dropped_frames - dropped_before, 48000u * 3 / 10);
  EXPECT_LE(statistics->dropped_frames - dropped_before, 48000u * 2);
  std::string why;
  const double end = static_cast<double>(host.out().size()) / kPcmBytesPerSecond;
  EXPECT_TRUE(test_support::tone_dominates(host.out(), end - 0.5, end, 440, 1000, &why)) << why;
  std::printf("reader stall: %llu frames dropped, %llu server-reading wake-ups in the 2 s\n",
              static_cast<unsigned long long>(statistics->dropped_frames - dropped_before),
              static_cast<unsigned long long>(during));
}

}  // namespace
