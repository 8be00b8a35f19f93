// The real host capturing real players through a private sound server
// (scripts/with-sound-server pulseaudio|pipewire), started by the
// translator stand-in. The players play sox tones; the tests compare
// frequencies and ratios, not levels, which differ between the servers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <pulse/error.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "support/host_session.h"
#include "support/sound.h"

namespace {

using test_support::Child;
using test_support::error_line;
using test_support::HostSession;
using test_support::kFormatLine;
using test_support::Milliseconds;
using test_support::target_arguments;

constexpr Milliseconds kTimeout(20000);
constexpr std::size_t kBytesPerSecond = 96000;
// A player started just before the host plays on a sink that nothing held
// at a low latency: what the sink rendered ahead then (up to two seconds)
// never reaches a monitor (the host counts it). The windows that check a
// stream that played before the host begin after it.
constexpr double kRenderedAhead = 2.0;

class Capture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test_support::sound_server_kind().empty()) {
      GTEST_SKIP() << "needs a sound server: run under scripts/with-sound-server";
    }
  }

  static std::vector<std::string> system_arguments() {
    return {"--exclude-pids", "{self}", "--target", "system"};
  }

  // The host's PCM once it holds `seconds` of audio after its start.
  static const std::string& pcm_after(HostSession& session, double seconds) {
    Child& translator = session.translator();
    EXPECT_TRUE(translator.wait_for_out_bytes(static_cast<std::size_t>(seconds * kBytesPerSecond),
                                              kTimeout))
        << translator.err();
    return translator.out();
  }

  // Ends the capture normally and checks that it was a clean one: the
  // format event, then nothing but statistics lines (what the sinks had
  // rendered ahead of a player that began before the host is counted).
  static void stop_and_expect_clean_end(HostSession& session) {
    ::kill(session.host_pid(), SIGTERM);
    EXPECT_EQ(session.host_status(kTimeout), 0);
    const std::string& err = session.translator().err();
    EXPECT_EQ(err.rfind(kFormatLine, 0), 0u) << err;
    int others = 0;
    (void)test_support::last_statistics(err, nullptr, &others);
    EXPECT_EQ(others, 0) << err;
    EXPECT_EQ(session.translator().out().size() % 1920, 0u);
  }
};

TEST_F(Capture, IncludeTakesTheTargetsTreeAndStreamsThatStartLate) {
  auto other = test_support::start_player(1000);
  ASSERT_TRUE(other);
  // The target's grandchildren play: 440 Hz at once, 660 Hz 2.5 s later.
  Child target;
  const std::string script = "sh -c 'paplay " + test_support::Tones::file(440) +
                             " & sleep 5; paplay " + test_support::Tones::file(660) +
                             "; true'; true";
  test_support::SpawnOptions quiet;
  quiet.capture_output = false;
  quiet.own_group = true;
  ASSERT_TRUE(target.start({"sh", "-c", script}, quiet));
  HostSession session;
  ASSERT_TRUE(session.start(target_arguments(target.pid())));

  std::string why;
  const double early_at = kRenderedAhead + 0.5;
  const std::string& early = pcm_after(session, early_at + 1);
  EXPECT_TRUE(test_support::tone_dominates(early, early_at, early_at + 1, 440, 1000, &why)) << why;
  EXPECT_TRUE(test_support::tone_dominates(early, early_at, early_at + 1, 440, 660, &why)) << why;
  const std::string& late = pcm_after(session, 7.0);
  EXPECT_TRUE(test_support::tone_dominates(late, 6.0, 7.0, 660, 1000, &why)) << why;
  stop_and_expect_clean_end(session);
}

TEST_F(Capture, StreamsMovedToAnotherSinkStayCaptured) {
  auto player = test_support::start_player(440);
  auto other = test_support::start_player(1000);
  ASSERT_TRUE(player && other);
  const auto stream = test_support::sink_input_of(player->pid(), kTimeout);
  ASSERT_TRUE(stream);
  HostSession session;
  ASSERT_TRUE(session.start(target_arguments(player->pid())));
  std::string why;
  EXPECT_TRUE(test_support::tone_dominates(pcm_after(session, kRenderedAhead + 1.5),
                                           kRenderedAhead + 0.5, kRenderedAhead + 1.5, 440, 1000,
                                           &why))
      << why;
  ASSERT_TRUE(test_support::command_output(
      {"pactl", "move-sink-input", std::to_string(*stream), "ci-other"}));
  const double moved_at = static_cast<double>(session.translator().out().size()) / kBytesPerSecond;
  const std::string& after = pcm_after(session, moved_at + 1.5);
  EXPECT_TRUE(test_support::tone_dominates(after, moved_at + 0.5, moved_at + 1.5, 440, 1000, &why))
      << why;
  stop_and_expect_clean_end(session);
}

// PipeWire's PulseAudio service puts the PID of a native PipeWire player on
// its client only.
TEST_F(Capture, NativePipeWirePlayerIsFoundThroughItsClient) {
  if (test_support::sound_server_kind() != "pipewire") {
    GTEST_SKIP() << "a native PipeWire player needs PipeWire";
  }
  Child player;
  test_support::SpawnOptions quiet;
  quiet.capture_output = false;
  ASSERT_TRUE(player.start({"pw-play", test_support::Tones::file(440)}, quiet));
  auto other = test_support::start_player(1000);
  ASSERT_TRUE(other);
  bool listed = false;
  for (int attempt = 0; attempt < 100 && !listed; ++attempt) {
    Child host;
    ASSERT_TRUE(host.start({test_support::host_program(), "--list"}));
    (void)host.wait(kTimeout);
    listed =
        host.out().find("\"id\":\"pid:" + std::to_string(player.pid()) + "\"") != std::string::npos;
    if (!listed) {
      std::this_thread::sleep_for(Milliseconds(50));
    }
  }
  EXPECT_TRUE(listed) << "listed through its client";
  HostSession session;
  ASSERT_TRUE(session.start(target_arguments(player.pid())));
  std::string why;
  EXPECT_TRUE(test_support::tone_dominates(pcm_after(session, 1.5), 0.5, 1.5, 440, 1000, &why))
      << why;
  stop_and_expect_clean_end(session);
}

TEST_F(Capture, SystemTakesOtherProgramsButNotTheTranslatorsChild) {
  auto other = test_support::start_player(1000);
  ASSERT_TRUE(other);
  HostSession session;
  test_support::TranslatorOptions options;
  options.translator_arguments = {"--child", "exec paplay " + test_support::Tones::file(440)};
  ASSERT_TRUE(session.start(system_arguments(), options));
  ASSERT_TRUE(test_support::sink_input_of(session.child_pid(), kTimeout));
  std::string why;
  EXPECT_TRUE(test_support::tone_dominates(pcm_after(session, kRenderedAhead + 2.0),
                                           kRenderedAhead + 1.0, kRenderedAhead + 2.0, 1000, 440,
                                           &why))
      << why;
  stop_and_expect_clean_end(session);
}

// Many programs at once: each one's monitor stream keeps up (PipeWire's
// PulseAudio service delivers several record streams of one connection in
// bursts far apart). Once every program is in the mix, nothing is dropped.
// (How soon all eight monitors deliver depends on how busy the machine and
// the server are; until then the host counts what it misses.)
TEST_F(Capture, SystemWithEightProgramsKeepsUp) {
  const int tones[] = {300, 410, 520, 630, 740, 850, 960, 1070};
  // Quiet enough that their sum does not clip.
  test_support::TempFolder folder;
  std::vector<std::unique_ptr<Child>> players;
  test_support::SpawnOptions quiet;
  quiet.capture_output = false;
  for (const int hz : tones) {
    const std::string file = folder.path() + "/" + std::to_string(hz) + ".wav";
    ASSERT_TRUE(
        test_support::command_output({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", file,
                                      "synth", "30", "sine", std::to_string(hz), "vol", "0.08"}));
    players.push_back(std::make_unique<Child>());
    ASSERT_TRUE(players.back()->start({"paplay", file}, quiet));
    ASSERT_TRUE(test_support::sink_input_of(players.back()->pid(), kTimeout));
  }
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  ASSERT_TRUE(session.start(system_arguments(), options));
  Child& translator = session.translator();
  // Every program in the last second of the mix.
  const auto all_in_the_mix = [&] {
    const std::string& pcm = translator.out();
    if (pcm.size() < kBytesPerSecond) {
      return false;
    }
    const std::size_t from = (pcm.size() - kBytesPerSecond) / 2 * 2;
    return std::all_of(std::begin(tones), std::end(tones), [&](int hz) {
      return test_support::tone_power(pcm, from, kBytesPerSecond, hz) > 1e-4;
    });
  };
  ASSERT_TRUE(translator.pump_until(all_in_the_mix, kTimeout)) << "not every program in the mix:\n"
                                                               << translator.err();
  // From the next statistics line on, 2 s without a loss.
  const std::size_t lines = std::count(translator.err().begin(), translator.err().end(), '\n');
  ASSERT_TRUE(translator.pump_until(
      [&] {
        return static_cast<std::size_t>(
                   std::count(translator.err().begin(), translator.err().end(), '\n')) > lines;
      },
      kTimeout));
  const auto before = test_support::last_statistics(translator.err());
  ASSERT_TRUE(before) << translator.err();
  const std::size_t at = translator.out().size();
  ASSERT_TRUE(translator.wait_for_out_bytes(at + 2 * kBytesPerSecond, kTimeout));
  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  const std::string& pcm = translator.out();
  // The libpulse backend on PipeWire's PulseAudio service: the service now
  // and then delivers a monitor's data late and in a burst (a stream then
  // runs dry, or holds more than it needs and gives 5 ms a second back,
  // counted as dropped). There every program must be in the mix; elsewhere
  // nothing is lost.
  const bool through_service =
      test_support::sound_server_kind() == "pipewire" && !test_support::expects_native_pipewire();
  for (const int hz : tones) {
    EXPECT_GT(test_support::tone_power(pcm, at, 2 * kBytesPerSecond, hz),
              through_service ? 1e-5 : 1e-4)
        << hz << " Hz in the mix";
  }
  const auto after = test_support::last_statistics(translator.err());
  ASSERT_TRUE(after) << translator.err();
  if (!through_service) {
    EXPECT_EQ(after->dropped_frames, before->dropped_frames) << translator.err();
  }
}

// The PCM is real-time and continuous, silence while nothing plays; with
// VANTLE_AUDIO_DIAGNOSTICS the statistics line comes about once a second.
TEST_F(Capture, FormatEventThenWholeBlocksAtTheRealTimeRateAndSilence) {
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  ASSERT_TRUE(session.start(system_arguments(), options));
  Child& translator = session.translator();
  ASSERT_TRUE(translator.wait_for_out_bytes(1, kTimeout));
  EXPECT_EQ(translator.err().substr(0, kFormatLine.size()), kFormatLine);
  const auto first = std::chrono::steady_clock::now();
  const std::size_t at_first = translator.out().size();
  (void)translator.pump_until([] { return false; }, Milliseconds(3000));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
  const double rate = static_cast<double>(translator.out().size() - at_first) / seconds;
  EXPECT_NEAR(rate, 96000.0, 96000.0 * 0.03) << "bytes per second of wall time";

  const std::string& pcm = translator.out();
  std::size_t nonzero = 0;
  for (std::size_t i = kBytesPerSecond / 2; i < pcm.size(); ++i) {
    nonzero += pcm[i] != 0;
  }
  EXPECT_EQ(nonzero, 0u) << "silence while nothing plays";

  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  EXPECT_EQ(translator.out().size() % 1920, 0u);
  std::istringstream lines(translator.err());
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line + "\n", kFormatLine);
  int statistics = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line.rfind("VANTLE_CAPTURE rate=48000 channels=2 accepted_frames=", 0), 0u) << line;
    // The libpulse host mixes on its own clock and loses nothing here. The
    // native PipeWire host follows the graph's clock: a cycle that a busy
    // machine never brought to it is filled with silence and counted.
    EXPECT_NE(
        line.find(test_support::expects_native_pipewire() ? " dropped_frames=0 discontinuities="
                                                          : " dropped_frames=0 discontinuities=0"),
        std::string::npos)
        << line;
    ++statistics;
  }
  EXPECT_GE(statistics, 2);
  EXPECT_LE(statistics, 5);
}

// A host that could not run for a while (here: stopped for a second) owes
// the clock's frames all the same: the time it could not mix is written as
// silence and counted as a discontinuity, so that the PCM stays at 48000
// frames per second of the clock (a translator that times speech by sample
// count stays aligned), within a block, and goes on in whole blocks with
// the tone after it.
TEST_F(Capture, AStalledHostWritesTheTimeItCouldNotMixAsSilence) {
  auto player = test_support::start_player(440);
  ASSERT_TRUE(player);
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  ASSERT_TRUE(session.start(target_arguments(player->pid()), options));
  Child& translator = session.translator();
  ASSERT_TRUE(translator.wait_for_out_bytes(kBytesPerSecond, kTimeout));
  // How far the PCM is behind the clock: the least over a while of reading
  // (reading late only makes it look further behind).
  const auto start = std::chrono::steady_clock::now();
  const auto least_lag = [&](Milliseconds during) {
    double least = 1e12;
    const auto until = std::chrono::steady_clock::now() + during;
    while (std::chrono::steady_clock::now() < until) {
      translator.pump(2);
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      least = std::min(least, seconds * 48000 - static_cast<double>(translator.out().size() / 2));
    }
    return least;
  };
  const double before = least_lag(Milliseconds(1500));
  ::kill(session.host_pid(), SIGSTOP);
  std::this_thread::sleep_for(Milliseconds(1000));
  ::kill(session.host_pid(), SIGCONT);
  (void)least_lag(Milliseconds(500));  // the silence goes out over a few ticks
  const double after = least_lag(Milliseconds(1500));
  EXPECT_NEAR(after, before, 960 + 480) << "frames behind the clock, before and after the stall";
  const std::size_t resumed = translator.out().size();
  std::string why;
  EXPECT_TRUE(test_support::tone_dominates(pcm_after(session, resumed / 96000.0 + 1.0),
                                           resumed / 96000.0 + 0.5, resumed / 96000.0 + 1.0, 440,
                                           1000, &why))
      << why;
  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  EXPECT_EQ(translator.out().size() % 1920, 0u);
  const auto statistics = test_support::last_statistics(translator.err());
  ASSERT_TRUE(statistics) << translator.err();
  EXPECT_GE(statistics->discontinuities, 1u) << translator.err();
}

TEST_F(Capture, StopsEndNormallyOrWithTheirError) {
  struct Case {
    const char* name;
    std::vector<std::string> translator;
    // What ends the capture once it runs; the target is a process of its own.
    void (*stop)(HostSession&, Child& target);
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"SIGINT", {}, [](HostSession& s, Child&) { ::kill(s.host_pid(), SIGINT); }, 0, kFormatLine},
      {"SIGTERM",
       {},
       [](HostSession& s, Child&) { ::kill(s.host_pid(), SIGTERM); },
       0,
       kFormatLine},
      {"SIGHUP", {}, [](HostSession& s, Child&) { ::kill(s.host_pid(), SIGHUP); }, 0, kFormatLine},
      {"the reader closes standard output",
       {},
       [](HostSession& s, Child&) { s.translator().close_out(); },
       0,
       kFormatLine},
      {"the translator exits",
       {"--exit-after-ms", "1500"},
       [](HostSession&, Child&) {},
       0,
       kFormatLine},
      {"the selected process exits",
       {},
       [](HostSession&, Child& target) { target.signal(SIGKILL); },
       1,
       kFormatLine + error_line("selected process exited")},
  };
  for (const Case& c : cases) {
    Child target;
    test_support::SpawnOptions quiet;
    quiet.capture_output = false;
    ASSERT_TRUE(target.start({"sleep", "60"}, quiet));
    HostSession session;
    test_support::TranslatorOptions options;
    options.translator_arguments = c.translator;
    ASSERT_TRUE(session.start(target_arguments(target.pid()), options)) << c.name;
    ASSERT_TRUE(session.translator().wait_for_out_bytes(5 * 1920, kTimeout)) << c.name;
    c.stop(session, target);
    EXPECT_EQ(session.host_status(kTimeout), c.status) << c.name;
    EXPECT_EQ(session.translator().err(), c.err) << c.name;
  }
}

// Only the reader's going away ends a capture normally: any other failed
// write of the PCM (here a full disk) is an error the translator must hear.
TEST_F(Capture, FailedPcmWriteIsAnErrorUnlessTheReaderWentAway) {
  Child target;
  test_support::SpawnOptions quiet;
  quiet.capture_output = false;
  ASSERT_TRUE(target.start({"sleep", "60"}, quiet));
  HostSession session;
  test_support::TranslatorOptions options;
  options.stdout_file = "/dev/full";  // the host inherits it from the translator
  ASSERT_TRUE(session.start(target_arguments(target.pid()), options));
  EXPECT_EQ(session.host_status(kTimeout), 1);
  EXPECT_EQ(session.translator().err(),
            kFormatLine + error_line("No space left on device (os error 28)"));
}

// A server of its own, killed while the host captures from it.
TEST_F(Capture, SoundServerKilledDuringTheCaptureIsAnError) {
  test_support::TempFolder folder;
  const std::string env_file = folder.path() + "/server.env";
  Child wrapper;
  test_support::SpawnOptions quiet;
  quiet.capture_output = false;
  ASSERT_TRUE(wrapper.start({VANTLE_WITH_SOUND_SERVER, test_support::sound_server_kind(),
                             "--env-file", env_file, "--", "sleep", "600"},
                            quiet));
  ASSERT_TRUE(
      wrapper.pump_until([&] { return !test_support::read_file(env_file).empty(); }, kTimeout));
  std::vector<std::string> environment;
  pid_t server = 0;
  // The daemon the host talks to: PipeWire's own for the native backend.
  const std::string server_variable = test_support::expects_native_pipewire()
                                          ? "VANTLE_TEST_PIPEWIRE_PID="
                                          : "VANTLE_TEST_SOUND_SERVER_PID=";
  std::istringstream lines(test_support::read_file(env_file));
  for (std::string line; std::getline(lines, line);) {
    environment.push_back(line);
    if (line.rfind(server_variable, 0) == 0) {
      server = std::stoi(line.substr(line.find('=') + 1));
    }
  }
  ASSERT_GT(server, 0);

  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = environment;
  options.unset = {"PULSE_SERVER"};
  ASSERT_TRUE(session.start(system_arguments(), options));
  ASSERT_TRUE(session.translator().wait_for_out_bytes(5 * 1920, kTimeout));
  ::kill(server, SIGKILL);
  EXPECT_EQ(session.host_status(kTimeout), 1);
  // PipeWire's library reports a lost connection as "connection error" with
  // the code of the broken socket.
  const std::string message =
      test_support::expects_native_pipewire()
          ? "sound server connection: connection error (" + std::string(std::strerror(EPIPE)) + ")"
          : "sound server connection: " + std::string(pa_strerror(PA_ERR_CONNECTIONTERMINATED)) +
                " (pulse error " + std::to_string(PA_ERR_CONNECTIONTERMINATED) + ")";
  EXPECT_EQ(session.translator().err(), kFormatLine + error_line(message));
  wrapper.signal(SIGTERM);  // it ends the rest of its daemons
  EXPECT_TRUE(wrapper.wait(kTimeout));
}

// The translator stops reading but keeps the pipe open: once the pipe is
// full the capture worker's write waits for room. A stop must not wait with
// it: SIGINT ends the host, normally, while the reader still reads nothing.
TEST_F(Capture, StopIsNotHeldByAReaderThatStoppedReading) {
  Child target;
  test_support::SpawnOptions quiet;
  quiet.capture_output = false;
  ASSERT_TRUE(target.start({"sleep", "60"}, quiet));
  HostSession session;
  ASSERT_TRUE(session.start(target_arguments(target.pid())));
  Child& translator = session.translator();
  ASSERT_TRUE(translator.wait_for_out_bytes(5 * 1920, kTimeout));

  // From here on nothing is read. The bytes waiting in the pipe, seen
  // through a reader of our own that reads nothing either.
  const std::string host = "/proc/" + std::to_string(session.host_pid());
  const int pipe = ::open((host + "/fd/1").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(pipe, 0);
  const auto waiting = [pipe] {
    int bytes = 0;
    return ::ioctl(pipe, FIONREAD, &bytes) == 0 ? bytes : -1;
  };
  const auto deadline = std::chrono::steady_clock::now() + kTimeout;
  while (waiting() < 30 * 1920 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(Milliseconds(20));
  }
  const int full = waiting();
  ::close(pipe);
  ASSERT_GE(full, 30 * 1920) << "the pipe never filled";
  std::this_thread::sleep_for(Milliseconds(300));  // the worker waits in its write

  // Ended: reaped by the translator, or a zombie waiting for it.
  const auto ended = [&] {
    const std::string stat = test_support::read_file(host + "/stat");
    return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
  };
  const auto signalled = std::chrono::steady_clock::now();
  ::kill(session.host_pid(), SIGINT);
  while (!ended() && std::chrono::steady_clock::now() < signalled + Milliseconds(10000)) {
    std::this_thread::sleep_for(Milliseconds(2));
  }
  const double took =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - signalled)
          .count();
  EXPECT_TRUE(ended()) << "the host still ran 10 s after SIGINT with its reader stalled";
  std::printf("SIGINT to exit with the reader stalled: %.1f ms\n", took);

  EXPECT_EQ(session.host_status(kTimeout), 0);
  EXPECT_EQ(translator.err(), kFormatLine);
  EXPECT_EQ(translator.out().size() % 1920, 0u);
}

}  // namespace
