// How the host starts, as a translator may start it: with the stop signals
// ignored, with a stop already pending, or with a standard descriptor
// closed. Run against a real sound server (scripts/with-sound-server).
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "support/host_session.h"
#include "support/sound.h"

namespace {

using test_support::error_line;
using test_support::HostSession;
using test_support::kFormatLine;
using test_support::Milliseconds;

constexpr Milliseconds kTimeout(20000);

// The signals a process ignores and blocks, from /proc/PID/status.
struct SignalMasks {
  std::uint64_t ignored = 0;
  std::uint64_t blocked = 0;
};

SignalMasks signal_masks(pid_t pid) {
  SignalMasks masks;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigIgn:", 0) == 0) {
      masks.ignored = std::stoull(line.substr(7), nullptr, 16);
    } else if (line.rfind("SigBlk:", 0) == 0) {
      masks.blocked = std::stoull(line.substr(7), nullptr, 16);
    }
  }
  return masks;
}

std::uint64_t bit(int signal_number) {
  return std::uint64_t{1} << (signal_number - 1);
}

class HostStart : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test_support::sound_server_kind().empty()) {
      GTEST_SKIP() << "needs a sound server: run under scripts/with-sound-server";
    }
  }

  static std::vector<std::string> system_arguments() {
    return {"--exclude-pids", "{self}", "--target", "system"};
  }
};

// A translator that ignores SIGINT (a shell's background job does) passes
// that on; the host takes its stop signals back: blocked for its signalfd,
// no longer ignored, and a SIGINT ends the capture normally.
TEST_F(HostStart, StopSignalsTheTranslatorLeftIgnoredStillStopTheCapture) {
  HostSession session;
  test_support::TranslatorOptions options;
  options.translator_arguments = {"--host-ignores-stops"};
  ASSERT_TRUE(session.start(system_arguments(), options));
  ASSERT_TRUE(session.translator().wait_for_out_bytes(1920, kTimeout));
  const SignalMasks masks = signal_masks(session.host_pid());
  for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
    EXPECT_EQ(masks.ignored & bit(number), 0u) << "signal " << number << " ignored";
    EXPECT_NE(masks.blocked & bit(number), 0u) << "signal " << number << " not blocked";
  }
  ::kill(session.host_pid(), SIGINT);
  EXPECT_EQ(session.host_status(kTimeout), 0);
  EXPECT_EQ(session.translator().err(), kFormatLine);
}

// A stop that arrives while the host starts (here: before it even runs) is
// a normal end, not death by the signal.
TEST_F(HostStart, AStopDuringStartUpEndsTheRunNormally) {
  HostSession session;
  test_support::TranslatorOptions options;
  options.translator_arguments = {"--host-stop-pending"};
  ASSERT_TRUE(session.start(system_arguments(), options));
  EXPECT_EQ(session.host_status(kTimeout), 0);
  EXPECT_EQ(session.translator().out().size() % 1920, 0u);
}

// A closed standard descriptor is the null device: the PCM or the events
// are discarded, and no file the host opens takes the descriptor's number.
TEST_F(HostStart, ClosedStandardDescriptorsDiscardWhatIsWrittenThere) {
  struct Case {
    const char* name;
    const char* descriptor;
    std::vector<std::string> arguments;
    bool capture;  // stopped by SIGTERM once it runs
    int status;
    std::string err;  // with standard error open
  };
  const Case cases[] = {
      {"standard output closed, capture", "1", system_arguments(), true, 0, kFormatLine},
      {"standard error closed, capture", "2", system_arguments(), true, 0, ""},
      {"standard output closed, listing",
       "1",
       {"--list"},
       false,
       1,
       error_line("Bad file descriptor (os error 9)")},
      {"standard error closed, refused target",
       "2",
       {"--exclude-pids", "{self}", "--target", "pid:1", "--expected-exe", "/x", "--expected-start",
        "1"},
       false,
       1,
       ""},
  };
  for (const Case& c : cases) {
    HostSession session;
    test_support::TranslatorOptions options;
    options.translator_arguments = {"--host-closes", c.descriptor};
    ASSERT_TRUE(session.start(c.arguments, options)) << c.name;
    if (c.capture) {
      // Running: its streams and pidfds are open, none on the closed number.
      ASSERT_TRUE(session.translator().pump_until(
          [&] {
            const std::string link =
                "/proc/" + std::to_string(session.host_pid()) + "/fd/" + c.descriptor;
            char target[256] = {};
            const ssize_t got = ::readlink(link.c_str(), target, sizeof target - 1);
            return got > 0 && std::string(target) == "/dev/null";
          },
          kTimeout))
          << c.name;
      session.translator().pump(1000);
      ::kill(session.host_pid(), SIGTERM);
    }
    EXPECT_EQ(session.host_status(kTimeout), c.status) << c.name;
    EXPECT_EQ(session.translator().err(), c.err) << c.name;
    EXPECT_EQ(session.translator().out().size() % 1920, 0u) << c.name;
  }
}

}  // namespace
