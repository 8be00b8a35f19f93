// The native PipeWire backend against a private PipeWire (scripts/with-sound-server
// pipewire), started by the translator stand-in: whose process a node is (the
// PID the server checked, not the one a client declares), many programs mixed
// by the graph, links that end with the host, a session manager restarted
// under a capture, and a quantum changed under it. Skipped unless the host is
// expected to use the native backend there.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <thread>

#include "support/host_session.h"
#include "support/sound.h"
#include "support/statistics.h"

namespace {

using test_support::Child;
using test_support::HostSession;
using test_support::kFormatLine;
using test_support::Milliseconds;
using test_support::target_arguments;

constexpr Milliseconds kTimeout(20000);
constexpr std::size_t kBytesPerSecond = 96000;
constexpr std::size_t kBlockBytes = 1920;

test_support::SpawnOptions quiet(const std::vector<std::string>& environment = {}) {
  test_support::SpawnOptions options;
  options.capture_output = false;
  options.environment = environment;
  if (!environment.empty()) {
    options.unset = {"PULSE_SERVER"};
  }
  return options;
}

// A 30 s stereo tone of `hz` at `volume` in `folder`.
std::string tone_file(const test_support::TempFolder& folder, int hz, const char* volume) {
  const std::string file = folder.path() + "/" + std::to_string(hz) + ".wav";
  (void)test_support::command_output({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", file,
                                      "synth", "30", "sine", std::to_string(hz), "vol", volume});
  return file;
}

// The lines of `pw-link -l` that name a port of the host's capture stream.
std::size_t host_link_lines(const std::vector<std::string>& environment = {}) {
  const auto text = test_support::command_output({"pw-link", "-l"}, environment);
  std::size_t lines = 0;
  std::istringstream stream(text.value_or(""));
  for (std::string line; std::getline(stream, line);) {
    lines += line.find("audio-host:") != std::string::npos;
  }
  return lines;
}

// The longest run of zero samples in mono s16le PCM from byte `from` on.
std::size_t longest_zero_run(const std::string& pcm, std::size_t from) {
  std::size_t longest = 0;
  std::size_t length = 0;
  for (std::size_t i = from & ~std::size_t{1}; i + 1 < pcm.size(); i += 2) {
    length = pcm[i] == 0 && pcm[i + 1] == 0 ? length + 1 : 0;
    longest = std::max(longest, length);
  }
  return longest;
}

// The variables of an env file written by scripts/with-sound-server.
std::vector<std::string> env_lines(const std::string& file) {
  std::vector<std::string> lines;
  std::istringstream text(test_support::read_file(file));
  for (std::string line; std::getline(text, line);) {
    lines.push_back(line);
  }
  return lines;
}

class NativePipeWire : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test_support::sound_server_kind() != "pipewire" ||
        !test_support::expects_native_pipewire()) {
      GTEST_SKIP() << "needs PipeWire with the native backend: run under "
                      "scripts/with-sound-server pipewire";
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
};

// The server checks a native client's PID (pipewire.sec.pid); what a
// client declares (application.process.id) decides nothing for it.
TEST_F(NativePipeWire, ANodeBelongsToTheProcessTheServerChecked) {
  const std::string wanted = test_support::Tones::file(440);
  const std::string other = test_support::Tones::file(1000);
  struct Case {
    const char* name;
    // The target's command (sh -c; empty: a system capture), the
    // translator's child's and a program's outside both trees; {target}
    // is the target's PID.
    std::string target;
    std::string translator_child;
    std::string outside;
    int captured_hz;
    int left_out_hz;
  };
  const Case cases[] = {
      {"a native player in the target's tree", "pw-play " + wanted + "; true", "exec sleep 60",
       "pw-play " + other, 440, 1000},
      {"a native player outside that declares the target's PID", "pw-play " + wanted + "; true",
       "exec sleep 60", "pw-play -P '{ application.process.id = {target} }' " + other, 440, 1000},
      {"a native player in its own PID namespace in the target's tree",
       "unshare --pid --fork --mount-proc pw-play " + wanted + "; true", "exec sleep 60",
       "pw-play " + other, 440, 1000},
      {"system: the translator's child declaring PID 1", "",
       "exec pw-play -P '{ application.process.id = 1 }' " + wanted, "pw-play " + other, 1000, 440},
  };
  for (const Case& c : cases) {
    Child target;
    test_support::SpawnOptions group = quiet();
    group.own_group = true;
    ASSERT_TRUE(target.start({"sh", "-c", c.target.empty() ? "exec sleep 60" : c.target}, group))
        << c.name;
    std::string outside = c.outside;
    const std::string placeholder = "{target}";
    if (const std::size_t at = outside.find(placeholder); at != std::string::npos) {
      outside.replace(at, placeholder.size(), std::to_string(target.pid()));
    }
    Child player;
    ASSERT_TRUE(player.start({"sh", "-c", "exec " + outside}, quiet())) << c.name;
    HostSession session;
    test_support::TranslatorOptions options;
    options.translator_arguments = {"--child", c.translator_child};
    ASSERT_TRUE(session.start(
        c.target.empty() ? system_arguments() : target_arguments(target.pid()), options))
        << c.name;
    std::string why;
    EXPECT_TRUE(test_support::tone_dominates(pcm_after(session, 2.0), 1.0, 2.0, c.captured_hz,
                                             c.left_out_hz, &why))
        << c.name << ": " << why;
    ::kill(session.host_pid(), SIGTERM);
    EXPECT_EQ(session.host_status(kTimeout), 0) << c.name;
    EXPECT_EQ(session.translator().err(), kFormatLine) << c.name;
  }
}

// 64 programs (native players and PulseAudio ones, half each) in system
// mode: the graph mixes every one at the level it reaches the sink with (a
// recorder of the sink's monitor beside the host is the reference: a player
// that falls behind on a busy machine is quieter in both), and nothing is
// dropped.
TEST_F(NativePipeWire, SixtyFourProgramsAreAllCapturedEachAtItsLevel) {
  constexpr int kPrograms = 64;
  test_support::TempFolder folder;
  std::vector<int> tones;
  std::vector<std::unique_ptr<Child>> players;
  for (int i = 0; i < kPrograms; ++i) {
    tones.push_back(300 + 40 * i);
    // Quiet enough that the sum of 64 does not clip.
    const std::string file = tone_file(folder, tones.back(), "0.01");
    players.push_back(std::make_unique<Child>());
    // On the sink the reference records (a stream moved before may have
    // left the session manager a preference for the other).
    const std::vector<std::string> argv =
        i % 2 == 0 ? std::vector<std::string>{"pw-play", "--target", "ci", file}
                   : std::vector<std::string>{"paplay", "-d", "ci", file};
    ASSERT_TRUE(players.back()->start(argv, quiet()));
  }
  Child reference;
  ASSERT_TRUE(reference.start({"parec", "-d", "ci.monitor", "--rate=48000", "--channels=1",
                               "--format=s16le", "--latency-msec=20"}));
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  ASSERT_TRUE(session.start(system_arguments(), options));
  Child& translator = session.translator();
  // Both read at once, so that neither pipe fills.
  const auto pump_until = [&](const std::function<bool()>& done, Milliseconds timeout) {
    return translator.pump_until(
        [&] {
          reference.pump(0);
          return done();
        },
        timeout);
  };
  const auto all_in_the_last_second = [&] {
    const std::string& pcm = translator.out();
    if (pcm.size() < kBytesPerSecond) {
      return false;
    }
    const std::size_t from = (pcm.size() - kBytesPerSecond) / 2 * 2;
    return std::all_of(tones.begin(), tones.end(), [&](int hz) {
      return test_support::tone_power(pcm, from, kBytesPerSecond, hz) > 1e-6;
    });
  };
  ASSERT_TRUE(pump_until(all_in_the_last_second, Milliseconds(60000)))
      << "not every program in the mix:\n"
      << translator.err();
  const std::size_t at = translator.out().size() / 2 * 2;
  const std::size_t reference_at = reference.out().size() / 2 * 2;
  ASSERT_TRUE(pump_until(
      [&] {
        return translator.out().size() >= at + 2 * kBytesPerSecond &&
               reference.out().size() >= reference_at + 2 * kBytesPerSecond;
      },
      kTimeout));
  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  std::vector<double> ratios;
  for (const int hz : tones) {
    const double reference_power =
        test_support::tone_power(reference.out(), reference_at, 2 * kBytesPerSecond, hz);
    ratios.push_back(test_support::tone_power(translator.out(), at, 2 * kBytesPerSecond, hz) /
                     std::max(reference_power, 1e-12));
  }
  std::vector<double> sorted = ratios;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[sorted.size() / 2];
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    // Each program at its level in the sink's mix: within 3 dB.
    EXPECT_GT(ratios[i], median / 2) << tones[i] << " Hz";
    EXPECT_LT(ratios[i], median * 2) << tones[i] << " Hz";
  }
  const auto statistics = test_support::last_statistics(translator.err());
  ASSERT_TRUE(statistics) << translator.err();
  EXPECT_EQ(statistics->dropped_frames, 0u) << translator.err();
  std::printf("64 programs: %llu discontinuities; host/monitor power %.3f to %.3f\n",
              static_cast<unsigned long long>(statistics->discontinuities), sorted.front(),
              sorted.back());
}

// The links belong to the host's client (object.linger=false): whichever
// way the host ends, none of them outlives it.
TEST_F(NativePipeWire, NoLinkOfTheHostOutlivesIt) {
  auto player = std::make_unique<Child>();
  ASSERT_TRUE(player->start({"pw-play", test_support::Tones::file(440)}, quiet()));
  for (const int signal : {SIGTERM, SIGKILL}) {
    HostSession session;
    ASSERT_TRUE(session.start(system_arguments()));
    std::string why;
    ASSERT_TRUE(test_support::tone_dominates(pcm_after(session, 1.5), 0.5, 1.5, 440, 1000, &why))
        << why;
    EXPECT_EQ(host_link_lines(), 4u) << "FL and FR, each seen from both ends";
    ::kill(session.host_pid(), signal);
    EXPECT_TRUE(session.host_status(kTimeout)) << signal;
    Child& translator = session.translator();
    EXPECT_TRUE(translator.pump_until([] { return host_link_lines() == 0; }, Milliseconds(2000)))
        << "links left after signal " << signal;
  }
}

// WirePlumber restarted under a capture: the capture goes on, the links
// stay, the selection is the same, nothing is lost.
TEST_F(NativePipeWire, WirePlumberRestartedDuringACaptureChangesNothing) {
  test_support::TempFolder folder;
  const std::string env_file = folder.path() + "/server.env";
  Child wrapper;
  ASSERT_TRUE(wrapper.start(
      {VANTLE_WITH_SOUND_SERVER, "pipewire", "--env-file", env_file, "--", "sleep", "600"},
      quiet()));
  // However the test ends, the wrapper ends its daemons (killed, it could
  // not).
  struct EndWrapper {
    Child& wrapper;
    ~EndWrapper() {
      wrapper.signal(SIGTERM);
      (void)wrapper.wait(kTimeout);
    }
  } end_wrapper{wrapper};
  ASSERT_TRUE(wrapper.pump_until([&] { return !env_lines(env_file).empty(); }, kTimeout));
  const std::vector<std::string> environment = env_lines(env_file);

  Child target;
  test_support::SpawnOptions group = quiet(environment);
  group.own_group = true;
  ASSERT_TRUE(
      target.start({"sh", "-c", "pw-play " + test_support::Tones::file(440) + "; true"}, group));
  Child other;
  ASSERT_TRUE(other.start({"pw-play", test_support::Tones::file(1000)}, quiet(environment)));
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = environment;
  options.environment.push_back("VANTLE_AUDIO_DIAGNOSTICS=");
  options.unset = {"PULSE_SERVER"};
  ASSERT_TRUE(session.start(target_arguments(target.pid()), options));
  Child& translator = session.translator();
  // The players of a server that has just started take a moment to play.
  std::string why;
  ASSERT_TRUE(translator.pump_until(
      [&] {
        const double seconds = static_cast<double>(translator.out().size()) / kBytesPerSecond;
        return seconds >= 1.0 && test_support::tone_dominates(translator.out(), seconds - 0.5,
                                                              seconds, 440, 1000, &why);
      },
      kTimeout))
      << why;
  EXPECT_EQ(host_link_lines(environment), 4u);

  wrapper.signal(SIGUSR2);
  ASSERT_TRUE(wrapper.pump_until([&] { return env_lines(env_file) != environment; }, kTimeout))
      << "WirePlumber restarted";
  const double restarted = static_cast<double>(translator.out().size()) / kBytesPerSecond;
  const std::string& pcm = pcm_after(session, restarted + 3.0);
  EXPECT_TRUE(test_support::tone_dominates(pcm, restarted + 1.0, restarted + 3.0, 440, 1000, &why))
      << why;
  EXPECT_EQ(host_link_lines(environment), 4u) << "the same links";
  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  const auto statistics = test_support::last_statistics(translator.err());
  ASSERT_TRUE(statistics) << translator.err();
  EXPECT_EQ(statistics->dropped_frames, 0u) << translator.err();
  EXPECT_EQ(translator.out().size() % kBlockBytes, 0u);
}

// What a capture of a target playing a tone (through the PulseAudio
// service, which buffers its stream: a native player can fall behind a
// 64-frame quantum on a busy machine) wrote around `disturb`: the PCM and
// standard error, where the disturbance began, how long it and the capture
// after it lasted, and the last statistics line.
struct DisturbedCapture {
  std::string pcm;
  std::string err;
  std::size_t disturbed_at = 0;  // byte
  double seconds = 0;            // from the disturbance to the end
  test_support::CaptureStatistics statistics;
};

DisturbedCapture capture_around(const std::function<void(HostSession&)>& disturb) {
  DisturbedCapture result;
  Child target;
  test_support::SpawnOptions group = quiet();
  group.own_group = true;
  EXPECT_TRUE(
      target.start({"sh", "-c", "paplay " + test_support::Tones::file(440) + "; true"}, group));
  HostSession session;
  test_support::TranslatorOptions options;
  options.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  EXPECT_TRUE(session.start(target_arguments(target.pid()), options));
  Child& translator = session.translator();
  EXPECT_TRUE(translator.wait_for_out_bytes(kBytesPerSecond, kTimeout));
  const auto first = std::chrono::steady_clock::now();
  result.disturbed_at = translator.out().size();
  disturb(session);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first).count();
  ::kill(session.host_pid(), SIGTERM);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  result.pcm = translator.out();
  result.err = translator.err();
  const auto statistics = test_support::last_statistics(result.err);
  EXPECT_TRUE(statistics) << result.err;
  result.statistics = statistics.value_or(test_support::CaptureStatistics{});
  EXPECT_EQ(result.pcm.size() % kBlockBytes, 0u);
  // What the host wrote and what it counted as dropped (a gap longer than
  // the fill's limit) make up the graph's time: 48000 frames per second of
  // a null sink's clock, the monotonic clock.
  const double rate = static_cast<double>(result.pcm.size() - result.disturbed_at +
                                          2 * result.statistics.dropped_frames) /
                      result.seconds;
  EXPECT_NEAR(rate, 96000.0, 96000.0 * 0.03) << "bytes per second of wall time";
  std::string why;
  EXPECT_TRUE(test_support::tone_dominates(result.pcm, 1.0, result.seconds, 440, 1000, &why))
      << why;
  return result;
}

// Another program asks for a far smaller latency while the host captures,
// then goes: the graph's quantum drops (to 64 frames) and comes back. The
// PCM keeps the graph's clock, and nothing is dropped.
TEST_F(NativePipeWire, QuantumChangedDuringACaptureKeepsTheRate) {
  const DisturbedCapture capture = capture_around([](HostSession& session) {
    Child fast;
    ASSERT_TRUE(
        fast.start({"pw-play", "--latency", "64", test_support::Tones::file(1000)}, quiet()));
    (void)session.translator().pump_until([] { return false; }, Milliseconds(2000));
    fast.signal(SIGTERM);
    EXPECT_TRUE(fast.wait(kTimeout));
    (void)session.translator().pump_until([] { return false; }, Milliseconds(2000));
  });
  EXPECT_EQ(capture.statistics.dropped_frames, 0u) << capture.err;
  std::printf("quantum change: %llu discontinuities\n",
              static_cast<unsigned long long>(capture.statistics.discontinuities));
}

// The host stopped for a moment misses the graph's cycles meanwhile: once
// it runs again it fills them with as much silence (up to a minute) and
// counts a discontinuity.
TEST_F(NativePipeWire, CyclesTheHostMissedAreFilledWithSilenceAndCounted) {
  // Stopped for longer than the largest quantum (8192 frames, 171 ms) and
  // the buffers the stream's port holds, whatever quantum the graph runs.
  double stopped_ms = 0;
  const DisturbedCapture capture = capture_around([&](HostSession& session) {
    const auto from = std::chrono::steady_clock::now();
    ::kill(session.host_pid(), SIGSTOP);
    std::this_thread::sleep_for(Milliseconds(600));
    ::kill(session.host_pid(), SIGCONT);
    stopped_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - from).count();
    (void)session.translator().pump_until([] { return false; }, Milliseconds(2500));
  });
  EXPECT_GE(capture.statistics.discontinuities, 1u) << capture.err;
  const std::size_t longest = longest_zero_run(capture.pcm, capture.disturbed_at);
  EXPECT_GE(longest, 200u * 48) << "samples of silence filled in";
  EXPECT_LE(longest, static_cast<std::size_t>(stopped_ms * 48) + 2 * 8192u)
      << "at most the time stopped and the buffered cycles";
  EXPECT_EQ(capture.statistics.dropped_frames, 0u) << "a gap below the fill's limit is all silence";
  std::printf("host stopped %.0f ms: %zu samples filled, %llu discontinuities, %llu dropped\n",
              stopped_ms, longest,
              static_cast<unsigned long long>(capture.statistics.discontinuities),
              static_cast<unsigned long long>(capture.statistics.dropped_frames));
}

}  // namespace
