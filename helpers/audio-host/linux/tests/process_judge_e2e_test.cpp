// A PID that is reused during a capture: each new stream's process is judged
// by its ancestry as it is when the stream appears, never by parent links
// read before (the PID may have belonged to another process then). The
// test makes the kernel hand out a chosen PID (ns_last_pid, as root) and
// runs against a real sound server (scripts/with-sound-server).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>

#include "support/host_session.h"
#include "support/sound.h"

namespace {

using test_support::Child;
using test_support::HostSession;
using test_support::Milliseconds;

constexpr Milliseconds kTimeout(20000);
constexpr int kAttempts = 10;
const char* const kLastPid = "/proc/sys/kernel/ns_last_pid";

// Makes the next process the kernel starts get `pid` (unless another one
// takes it first); false when that cannot be asked for.
bool next_pid_will_be(pid_t pid) {
  std::ofstream last(kLastPid);
  last << pid - 1;
  last.flush();
  return static_cast<bool>(last);
}

class PidReuse : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test_support::sound_server_kind().empty()) {
      GTEST_SKIP() << "needs a sound server: run under scripts/with-sound-server";
    }
    if (::geteuid() != 0 || ::access(kLastPid, W_OK) != 0) {
      GTEST_SKIP() << "choosing a PID needs root (ns_last_pid)";
    }
  }

  static double seconds_of(const std::string& pcm) { return pcm.size() / 96000.0; }
};

// System capture: an unrelated process with PID X runs when the capture
// starts and ends; the translator then starts a player that gets X. The
// translator's player is not captured.
TEST_F(PidReuse, TheTranslatorsNewPlayerWithADeadProcesssPidIsNotCaptured) {
  auto other = test_support::start_player(1000);
  ASSERT_TRUE(other);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Child unrelated;
    test_support::SpawnOptions quiet;
    quiet.capture_output = false;
    ASSERT_TRUE(unrelated.start({"sleep", "60"}, quiet));
    const pid_t reused = unrelated.pid();

    HostSession session;
    test_support::TranslatorOptions options;
    options.translator_arguments = {"--child-on-usr1",
                                    "exec paplay " + test_support::Tones::file(440)};
    ASSERT_TRUE(session.start({"--exclude-pids", "{self}", "--target", "system"}, options));
    Child& translator = session.translator();
    ASSERT_TRUE(translator.wait_for_out_bytes(96000, kTimeout));

    unrelated.signal(SIGKILL);
    ASSERT_TRUE(unrelated.wait(kTimeout));
    ASSERT_TRUE(next_pid_will_be(reused));
    const std::string child_file = session.pid_file() + ".usr1";
    ::kill(session.translator_pid(), SIGUSR1);
    ASSERT_TRUE(translator.pump_until([&] { return !test_support::read_file(child_file).empty(); },
                                      kTimeout));
    const pid_t player = std::stoi(test_support::read_file(child_file).substr(6));
    if (player != reused) {
      continue;  // another process took the PID first: try again
    }
    ASSERT_TRUE(test_support::sink_input_of(player, kTimeout));
    const double from = seconds_of(translator.out()) + 0.5;
    ASSERT_TRUE(
        translator.wait_for_out_bytes(static_cast<std::size_t>((from + 1.5) * 96000), kTimeout));
    std::string why;
    EXPECT_TRUE(test_support::tone_dominates(translator.out(), from, from + 1.5, 1000, 440, &why))
        << why;
    ::kill(session.host_pid(), SIGTERM);
    EXPECT_EQ(session.host_status(kTimeout), 0);
    return;
  }
  GTEST_SKIP() << "the chosen PID was taken by another process " << kAttempts << " times";
}

// Capture of a target: its child with PID X ends; an unrelated player that
// gets X is not taken as part of the target.
TEST_F(PidReuse, AnUnrelatedPlayerWithADeadChildsPidIsNotPartOfTheTarget) {
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    test_support::TempFolder folder;
    const std::string child_file = folder.path() + "/child";
    // The target plays 1000 Hz and has a child that ends on its own; the
    // target reaps it (so that its PID is free) and runs on.
    Child target;
    test_support::SpawnOptions quiet;
    quiet.capture_output = false;
    quiet.own_group = true;
    const std::string script = "sleep 2 & c=$!; echo $c > " + child_file + "; paplay " +
                               test_support::Tones::file(1000) + " & wait $c; exec sleep 60";
    ASSERT_TRUE(target.start({"sh", "-c", script}, quiet));
    ASSERT_TRUE(
        target.pump_until([&] { return !test_support::read_file(child_file).empty(); }, kTimeout));
    const pid_t reused = std::stoi(test_support::read_file(child_file));

    HostSession session;
    ASSERT_TRUE(session.start(test_support::target_arguments(target.pid())));
    Child& translator = session.translator();
    ASSERT_TRUE(translator.wait_for_out_bytes(96000, kTimeout));
    // The child ends and is reaped by the target.
    ASSERT_TRUE(translator.pump_until([&] { return ::kill(reused, 0) != 0; }, kTimeout));

    ASSERT_TRUE(next_pid_will_be(reused));
    Child player;
    ASSERT_TRUE(player.start({"paplay", test_support::Tones::file(440)}, quiet));
    if (player.pid() != reused) {
      continue;
    }
    ASSERT_TRUE(test_support::sink_input_of(player.pid(), kTimeout));
    const double from = seconds_of(translator.out()) + 0.5;
    ASSERT_TRUE(
        translator.wait_for_out_bytes(static_cast<std::size_t>((from + 1.5) * 96000), kTimeout));
    std::string why;
    EXPECT_TRUE(test_support::tone_dominates(translator.out(), from, from + 1.5, 1000, 440, &why))
        << why;
    ::kill(session.host_pid(), SIGTERM);
    EXPECT_EQ(session.host_status(kTimeout), 0);
    return;
  }
  GTEST_SKIP() << "the chosen PID was taken by another process " << kAttempts << " times";
}

}  // namespace
