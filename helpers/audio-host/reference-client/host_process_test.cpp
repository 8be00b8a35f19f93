// HostProcess on POSIX against small shell programs that behave the way the
// host can: writing both streams at once, exiting with a status, ending when
// its reader goes, stopping on SIGINT, or not stopping at all.
#include "host_process.h"

#include <gtest/gtest.h>

#include <thread>

namespace reference_client {
namespace {

using namespace std::chrono_literals;

// Generous: only a broken layer takes this long.
constexpr auto kLong = 60s;

std::vector<std::string> shell(const std::string& script) {
  return {"-c", script};
}

std::string all_stderr(HostProcess& host) {
  std::string text;
  for (const std::string& line : host.take_stderr_lines()) {
    text += line;
  }
  return text;
}

// Waits until standard error has said `text` (or the host ended).
bool wait_for_stderr(HostProcess& host, const std::string& text) {
  std::string seen;
  for (auto deadline = std::chrono::steady_clock::now() + kLong;
       std::chrono::steady_clock::now() < deadline;) {
    seen += all_stderr(host);
    if (seen.find(text) != std::string::npos) {
      return true;
    }
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

TEST(HostProcess, ReadsBothStreamsWhileTheChildWritesThem) {
  // Far more than a pipe holds on each stream, stderr first: a reader that
  // took one stream after the other would never see the child end.
  HostProcess host;
  ASSERT_TRUE(host.start("/bin/sh", shell("head -c 300000 /dev/zero >&2; head -c 1000000 "
                                          "/dev/zero; printf 'a\\nb\\nlast' >&2"))
                  .ok());
  ASSERT_TRUE(host.wait(kLong));
  EXPECT_TRUE(host.exit_status().exited);
  EXPECT_EQ(host.exit_status().code, 0);
  EXPECT_EQ(host.pcm(), std::string(1000000, '\0'));
  const auto lines = host.take_stderr_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], std::string(300000, '\0') + "a\n");
  EXPECT_EQ(lines[1], "b\n");
  EXPECT_EQ(lines[2], "last");  // unterminated, given once the stream ended
  EXPECT_TRUE(host.take_stderr_lines().empty());
}

TEST(HostProcess, ReportsHowTheChildEnded) {
  const struct {
    const char* script;
    bool exited;
    int code;
    const char* text;
  } cases[] = {
      {"exit 0", true, 0, "0"},
      {"exit 3", true, 3, "3"},
      {"kill -TERM $$", false, 15, "signal 15"},
  };
  for (const auto& c : cases) {
    HostProcess host;
    ASSERT_TRUE(host.start("/bin/sh", shell(c.script)).ok());
    ASSERT_TRUE(host.wait(kLong)) << c.script;
    EXPECT_EQ(host.exit_status().exited, c.exited) << c.script;
    EXPECT_EQ(host.exit_status().code, c.code) << c.script;
    EXPECT_EQ(describe(host.exit_status()), c.text) << c.script;
  }
}

TEST(HostProcess, TheChildIsOurDirectChildWithNothingOnItsInput) {
  HostProcess host;
  ASSERT_TRUE(host.start("/bin/sh", shell("echo $PPID; cat; echo end")).ok());
  ASSERT_TRUE(host.wait(kLong));
  EXPECT_EQ(host.pcm(), std::to_string(current_process_id()) + "\nend\n");
}

TEST(HostProcess, ClosingThePcmPipeIsSeenByTheWriter) {
  HostProcess host;
  ASSERT_TRUE(host.start("/bin/sh", shell("trap '' PIPE; echo writing >&2; "
                                          "while printf xxxxxxxx; do :; done; exit 7"))
                  .ok());
  ASSERT_TRUE(wait_for_stderr(host, "writing"));
  host.close_pcm();
  ASSERT_TRUE(host.wait(kLong));
  EXPECT_EQ(host.exit_status().code, 7);  // printf failed: its reader was gone
  EXPECT_FALSE(host.pcm().empty());
}

TEST(HostProcess, TheStopSignalIsSigint) {
  HostProcess host;
  ASSERT_TRUE(host.start("/bin/sh",
                         shell("trap 'exit 5' INT; echo ready >&2; while :; do sleep 0.01; done"))
                  .ok());
  ASSERT_TRUE(wait_for_stderr(host, "ready"));
  ASSERT_TRUE(host.send_stop_signal().ok());
  ASSERT_TRUE(host.wait(kLong));
  EXPECT_TRUE(host.exit_status().exited);
  EXPECT_EQ(host.exit_status().code, 5);
}

TEST(HostProcess, AChildThatDoesNotStopIsKilled) {
  HostProcess host;
  ASSERT_TRUE(host.start("/bin/sh", shell("trap '' INT; echo ready >&2; exec sleep 600")).ok());
  ASSERT_TRUE(wait_for_stderr(host, "ready"));
  ASSERT_TRUE(host.send_stop_signal().ok());
  EXPECT_FALSE(host.wait(50ms));
  host.kill();
  ASSERT_TRUE(host.wait(kLong));
  EXPECT_FALSE(host.exit_status().exited);
  EXPECT_EQ(host.exit_status().code, 9);
}

TEST(HostProcess, AProgramThatCannotStartIsAnError) {
  HostProcess host;
  const auto started = host.start("/nonexistent/audio-host", {"--list"});
  ASSERT_FALSE(started.ok());
  EXPECT_EQ(started.error(),
            "cannot start /nonexistent/audio-host: No such file or directory (os error 2)");
  EXPECT_FALSE(host.wait(10ms));
}

TEST(HostProcess, FindsTheHostBesideThisProgram) {
  const std::string folder = vantle::program_folder().value();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(host_file_name(), "audio-host");
}

}  // namespace
}  // namespace reference_client
