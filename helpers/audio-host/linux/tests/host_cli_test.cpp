// The real host, started by the translator stand-in, refusing what it must
// refuse before it touches the sound server: the command line, the ancestry
// rules with real process trees, identities that changed, and a sound
// server that is not there. Each refusal is one error line and exit status 1.
#include <gtest/gtest.h>
#include <pulse/def.h>
#include <pulse/error.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "shared/processes.h"
#include "support/host_session.h"

namespace {

using test_support::Child;
using test_support::error_line;
using test_support::HostSession;
using test_support::Milliseconds;

constexpr Milliseconds kTimeout(20000);

// The host alone, without a translator (for the command line only).
struct Ran {
  int status;
  std::string out;
  std::string err;
};
Ran run_host(const std::vector<std::string>& arguments, std::vector<std::string> environment = {},
             std::vector<std::string> unset = {}) {
  std::vector<std::string> argv = {test_support::host_program()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  Child child;
  test_support::SpawnOptions options;
  options.environment = std::move(environment);
  options.unset = std::move(unset);
  EXPECT_TRUE(child.start(argv, options));
  const auto status = child.wait(kTimeout);
  EXPECT_TRUE(status);
  return Ran{status.value_or(-1), child.out(), child.err()};
}

TEST(HostCommandLine, RefusalsAreOneErrorLineAndExitStatusOne) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Case cases[] = {
      {{}, "one excluded parent PID is required"},
      {{"--help"}, "arguments must be flag/value pairs"},
      {{"--list", "--list"}, "unknown or duplicate argument"},
      {{"--target", "pid:0", "--exclude-pids", "42"}, "target must be system or pid:N"},
      {{"--target", "system", "--exclude-pids", "\xFF"}, "arguments must be valid Unicode text"},
      {{"--target", "\xED\xA0\x80"}, "arguments must be valid Unicode text"},
  };
  for (const Case& c : cases) {
    const Ran ran = run_host(c.arguments);
    EXPECT_EQ(ran.status, 1) << c.message;
    EXPECT_EQ(ran.err, error_line(c.message));
    EXPECT_EQ(ran.out, "");
  }
}

TEST(HostListing, NoSoundServerAndNoDisplayListNothing) {
  const Ran ran = run_host({"--list"}, {"PULSE_SERVER=unix:/nonexistent/socket"}, {"DISPLAY"});
  EXPECT_EQ(ran.status, 0);
  EXPECT_EQ(ran.out, "[]");
  EXPECT_EQ(ran.err, "");
}

TEST(HostRefusals, AncestryRulesAndIdentitiesWithRealProcesses) {
  const std::string touches = "selected process tree includes the translator or belongs to it";
  const std::string changed = "selected process identity changed; refresh the process list";
  // Two instances of one program, as if an application had been restarted.
  Child first;
  Child restarted;
  ASSERT_TRUE(first.start({"sleep", "60"}));
  // Start times count clock ticks (10 ms): the second starts a tick later.
  std::this_thread::sleep_for(Milliseconds(30));
  ASSERT_TRUE(restarted.start({"sleep", "60"}));
  auto first_id = audio_host::linux_host::read_process_identity(first.pid());
  auto restarted_id = audio_host::linux_host::read_process_identity(restarted.pid());
  ASSERT_TRUE(first_id && restarted_id);
  // A process that has ended.
  Child ended;
  ASSERT_TRUE(ended.start({"true"}));
  ASSERT_TRUE(ended.wait(kTimeout));

  const auto target = [](const std::string& who) {
    return std::vector<std::string>{"--exclude-pids",   "{self}",
                                    "--target",         "pid:{pid:" + who + "}",
                                    "--expected-exe",   "{exe:" + who + "}",
                                    "--expected-start", "{start:" + who + "}"};
  };
  const auto pid_target = [](pid_t pid, const std::string& exe, std::uint64_t start) {
    return std::vector<std::string>{
        "--exclude-pids", "{self}", "--target",         "pid:" + std::to_string(pid),
        "--expected-exe", exe,      "--expected-start", std::to_string(start)};
  };
  struct Case {
    const char* name;
    std::vector<std::string> translator;
    std::vector<std::string> host;
    std::string message;
  };
  const std::string exe = first_id.value().exe();
  const Case cases[] = {
      {"the translator itself", {}, target("self"), touches},
      {"the host's sibling under the translator",
       {"--child", "exec sleep 60"},
       target("child"),
       touches},
      {"a grandchild of the translator", {"--grandchild"}, target("grandchild"), touches},
      {"the translator's parent", {}, target("parent"), touches},
      {"excluded PID not the host's parent",
       {"--child", "exec sleep 60"},
       {"--exclude-pids", "{pid:child}", "--target", "system"},
       "excluded PID must be the helper's parent application"},
      {"excluded PID not the parent, with a target",
       {},
       {"--exclude-pids", "{pid:parent}", "--target", "pid:" + std::to_string(first.pid()),
        "--expected-exe", exe, "--expected-start", std::to_string(first_id.value().start_time())},
       "excluded PID must be the helper's parent application"},
      {"a restarted program with the old start time",
       {},
       pid_target(restarted.pid(), exe, first_id.value().start_time()),
       changed},
      {"a path that differs in case only",
       {},
       pid_target(first.pid(), "/USR/BIN/SLEEP", first_id.value().start_time()),
       changed},
      {"a start time one unit off",
       {},
       pid_target(first.pid(), exe, first_id.value().start_time() + 1),
       changed},
      {"a process that has ended",
       {},
       pid_target(ended.pid(), exe, 1),
       "selected process is no longer present"},
  };
  for (const Case& c : cases) {
    HostSession session;
    test_support::TranslatorOptions options;
    options.translator_arguments = c.translator;
    ASSERT_TRUE(session.start(c.host, options)) << c.name;
    EXPECT_EQ(session.host_status(kTimeout), 1) << c.name;
    EXPECT_EQ(session.translator().err(), error_line(c.message)) << c.name;
    EXPECT_EQ(session.translator().out(), "") << c.name;
  }
}

TEST(HostRefusals, AbsentSoundServer) {
  Child target;
  ASSERT_TRUE(target.start({"sleep", "60"}));
  auto id = audio_host::linux_host::read_process_identity(target.pid());
  ASSERT_TRUE(id);
  const std::string message =
      "connect to sound server: " + std::string(pa_strerror(PA_ERR_CONNECTIONREFUSED)) +
      " (pulse error " + std::to_string(PA_ERR_CONNECTIONREFUSED) + ")";
  const std::vector<std::vector<std::string>> requests = {
      {"--exclude-pids", "{self}", "--target", "system"},
      {"--exclude-pids", "{self}", "--target", "pid:" + std::to_string(target.pid()),
       "--expected-exe", id.value().exe(), "--expected-start",
       std::to_string(id.value().start_time())},
  };
  for (const auto& request : requests) {
    HostSession session;
    test_support::TranslatorOptions options;
    // A socket nobody listens on (the folder exists, the socket does not),
    // and no PipeWire socket where the host looks for one.
    test_support::TempFolder folder;
    options.environment = {"PULSE_SERVER=unix:" + folder.path() + "/native",
                           "XDG_RUNTIME_DIR=" + folder.path(),
                           "PIPEWIRE_RUNTIME_DIR=" + folder.path(), "PIPEWIRE_REMOTE="};
    ASSERT_TRUE(session.start(request, options));
    EXPECT_EQ(session.host_status(kTimeout), 1);
    EXPECT_EQ(session.translator().err(), error_line(message));
    EXPECT_EQ(session.translator().out(), "");
  }
}

}  // namespace
