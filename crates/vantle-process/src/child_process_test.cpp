// Child processes against child-process-test-helper (beside this program),
// which writes, reads, waits and exits as its arguments say, and on POSIX
// against small shell programs for signals and process groups.
#include "child_process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "std_streams.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace vantle {
namespace {

using namespace std::chrono_literals;

// Generous: only a broken layer takes this long.
constexpr auto kLong = 60s;

NativeString n(std::string_view utf8) {
  return to_native_string(utf8);
}

std::vector<NativeString> helper(const std::vector<std::string>& actions) {
  Result<NativeString> folder = program_folder();
  EXPECT_TRUE(folder.ok());
#ifdef _WIN32
  std::vector<NativeString> argv = {folder.value() + n("child-process-test-helper.exe")};
#else
  std::vector<NativeString> argv = {folder.value() + n("child-process-test-helper")};
#endif
  for (const std::string& action : actions) {
    argv.push_back(n(action));
  }
  return argv;
}

// The helper's status for a failed write, and the one kill() leaves.
constexpr int kWriteFailed = 7;
#ifdef _WIN32
constexpr ExitStatus kKilled{true, 99};
#else
constexpr ExitStatus kKilled{false, SIGKILL};
#endif

void expect_status(const ChildProcess& child, ExitStatus expected, const std::string& what) {
  ASSERT_TRUE(child.exit_status()) << what;
  EXPECT_EQ(child.exit_status()->exited, expected.exited) << what;
  EXPECT_EQ(child.exit_status()->code, expected.code) << what;
}

bool ended(ChildProcess& child, std::chrono::milliseconds timeout = kLong) {
  const Result<bool> waited = child.wait(timeout);
  EXPECT_TRUE(waited.ok()) << waited.error();
  return waited.ok() && waited.value();
}

TEST(ChildProcess, ReadsBothStreamsTogetherWhenTheChildFillsErrorFirst) {
  // Far more than a pipe holds on each stream, standard error first: a
  // reader that took one stream after the other would never see the end.
  ChildProcess child;
  ASSERT_TRUE(child.start(helper({"err:300000", "out:1000000", "say-err:last"})).ok());
  ASSERT_TRUE(ended(child));
  expect_status(child, {true, 0}, "writer");
  EXPECT_TRUE(child.stdout_ended() && child.stderr_ended());
  EXPECT_TRUE(child.read_status().ok());
  EXPECT_EQ(child.out(), std::string(1000000, 'o'));
  EXPECT_EQ(child.err(), std::string(300000, 'e') + "last");
}

TEST(ChildProcess, ReportsHowTheChildEnded) {
  const struct {
    std::vector<NativeString> argv;
    ExitStatus status;
    const char* text;
  } cases[] = {
      {helper({"exit:0"}), {true, 0}, "0"},
      {helper({"exit:3"}), {true, 3}, "3"},
#ifndef _WIN32
      {{"/bin/sh", "-c", "kill -TERM $$"}, {false, SIGTERM}, "signal 15"},
#endif
  };
  for (const auto& c : cases) {
    ChildProcess child;
    ASSERT_TRUE(child.start(c.argv).ok()) << c.text;
    ASSERT_TRUE(ended(child)) << c.text;
    expect_status(child, c.status, c.text);
    EXPECT_EQ(describe(*child.exit_status()), c.text);
  }
}

TEST(ChildProcess, StandardInputIsEmptyOrAPipeThatWeClose) {
  ChildProcess quiet;
  ASSERT_TRUE(quiet.start(helper({"stdin"})).ok());
  ASSERT_TRUE(ended(quiet));
  EXPECT_EQ(quiet.out(), "stdin=0\n");

  ChildProcess piped;
  ChildOptions options;
  options.stdin_mode = InputMode::pipe;
  ASSERT_TRUE(piped.start(helper({"stdin"}), options).ok());
  EXPECT_FALSE(ended(piped, 50ms));  // it reads until we close our end
  piped.close_stdin();
  ASSERT_TRUE(ended(piped));
  EXPECT_EQ(piped.out(), "stdin=0\n");
}

TEST(ChildProcess, StandardOutputGoesWhereItIsAsked) {
  const std::filesystem::path file =
      std::filesystem::temp_directory_path() / "vantle-child-process-test.out";
  const struct {
    OutputMode mode;
    int status;
    const char* out;  // what this side reads
  } cases[] = {
      {OutputMode::pipe, 0, "written\n"}, {OutputMode::reader_gone, kWriteFailed, ""},
      {OutputMode::null_device, 0, ""},   {OutputMode::none, kWriteFailed, ""},
      {OutputMode::file, 0, ""},          {OutputMode::inherit, 0, ""},  // this test's own output
  };
  for (const auto& c : cases) {
    std::ofstream(file, std::ios::binary | std::ios::trunc).close();
    ChildOptions options;
    options.stdout_mode = c.mode;
    options.stdout_file = file.native();
    ChildProcess child;
    ASSERT_TRUE(child.start(helper({"say-out:written\n"}), options).ok());
    const std::string what = "mode " + std::to_string(static_cast<int>(c.mode));
    ASSERT_TRUE(ended(child)) << what;
    expect_status(child, {true, c.status}, what);
    EXPECT_EQ(child.out(), c.out) << what;
    std::ostringstream written;
    written << std::ifstream(file, std::ios::binary).rdbuf();
    EXPECT_EQ(written.str(), c.mode == OutputMode::file ? "written\n" : "") << what;
  }
  std::filesystem::remove(file);
}

TEST(ChildProcess, ClosingTheStdoutReaderIsSeenByTheWriter) {
  ChildProcess child;
  ASSERT_TRUE(child.start(helper({"flood"})).ok());
  ASSERT_TRUE(child.wait_for_out_bytes(1, kLong));
  child.close_stdout_reader();
  EXPECT_TRUE(child.stdout_ended());
  ASSERT_TRUE(ended(child));
  expect_status(child, {true, kWriteFailed}, "flood");
}

TEST(ChildProcess, APausedReaderStallsTheChildUntilItReadsOn) {
  ChildProcess child;
  ASSERT_TRUE(child.start(helper({"out:1000000", "say-err:done"})).ok());
  child.pause_stdout_reader();
  // The pipe fills and the child's write blocks: it cannot get further.
  EXPECT_FALSE(child.wait_for_err("done", 300ms));
  EXPECT_FALSE(ended(child, 10ms));
  EXPECT_LT(child.out().size(), 1000000u);
  child.resume_stdout_reader();
  ASSERT_TRUE(ended(child));
  EXPECT_EQ(child.out().size(), 1000000u);
  EXPECT_EQ(child.err(), "done");
}

TEST(ChildProcess, WaitsForTextEndWhenTheStreamEnds) {
  ChildProcess child;
  ASSERT_TRUE(child.start(helper({"say-err:abc", "say-out:xy"})).ok());
  EXPECT_FALSE(child.wait_for_err("never said", kLong));
  EXPECT_FALSE(child.wait_for_out_bytes(3, kLong));
  EXPECT_TRUE(child.stderr_ended() && child.stdout_ended());
  EXPECT_EQ(child.err(), "abc");
}

// Through the helper, which prepares the stop signal and stops a child of
// its own: this test keeps its console as it is. (Under Wine a console
// made here would also start the desktop's process, which would hold this
// test's output open as long as the desktop lives.)
TEST(ChildProcess, TheStopSignalReachesAChildThatWaitsForIt) {
  ChildOptions quiet;
  quiet.stdout_mode = OutputMode::null_device;
  quiet.stderr_mode = OutputMode::null_device;
  const Result<RunOutput> ran = run(helper({"stop-child"}), quiet, kLong);
  ASSERT_TRUE(ran.ok()) << ran.error();
  ASSERT_TRUE(ran.value().status);
  EXPECT_EQ(ran.value().status->code, 5);  // wait-stop's status: it saw the signal
}

TEST(ChildProcess, KillEndsAChildAtOnce) {
  ChildProcess child;
  ASSERT_TRUE(child.start(helper({"sleep"})).ok());
  EXPECT_FALSE(ended(child, 50ms));
  ASSERT_TRUE(child.kill().ok());
  expect_status(child, kKilled, "sleep");
  EXPECT_TRUE(ended(child, 0ms));
}

TEST(ChildProcess, RunWaitsWithABoundAndKillsWhatOutlivesIt) {
  const Result<RunOutput> finished = run(helper({"say-out:x", "say-err:y", "exit:3"}), {}, kLong);
  ASSERT_TRUE(finished.ok()) << finished.error();
  ASSERT_TRUE(finished.value().status);
  EXPECT_EQ(finished.value().status->code, 3);
  EXPECT_EQ(finished.value().out, "x");
  EXPECT_EQ(finished.value().err, "y");

  const Result<RunOutput> cut = run(helper({"say-out:x", "sleep"}), {}, 50ms);
  ASSERT_TRUE(cut.ok()) << cut.error();
  EXPECT_FALSE(cut.value().status);
}

TEST(ChildProcess, FailuresToStartAreTheSystemsErrors) {
  const NativeString missing = n("/nonexistent/folder/program");
  const std::string helper_name = from_native_string(helper({})[0]);
#ifdef _WIN32
  // Windows reports a missing folder as a missing path, Wine as a missing file.
  const std::vector<std::string> texts = {os_error_text(ERROR_PATH_NOT_FOUND),
                                          os_error_text(ERROR_FILE_NOT_FOUND)};
#else
  const std::vector<std::string> texts = {os_error_text(ENOENT)};
#endif
  ChildOptions to_missing_file;
  to_missing_file.stdout_mode = OutputMode::file;
  to_missing_file.stdout_file = missing;
  const struct {
    std::vector<NativeString> argv;
    ChildOptions options;
    std::string prefix;
  } cases[] = {
      {{missing}, {}, "cannot start /nonexistent/folder/program: "},
      {helper({}), to_missing_file,
       "cannot start " + helper_name + ": open /nonexistent/folder/program: "},
  };
  for (const auto& c : cases) {
    ChildProcess child;
    const Status started = child.start(c.argv, c.options);
    ASSERT_FALSE(started.ok()) << c.prefix;
    bool known = false;
    for (const std::string& text : texts) {
      known = known || started.error() == c.prefix + text;
    }
    EXPECT_TRUE(known) << started.error();
    EXPECT_FALSE(child.started());
    EXPECT_FALSE(child.wait(10ms).ok());
  }
}

TEST(ChildProcess, EnvironmentIsAddedReplacedAndUnset) {
  const auto set = [](const char* name, const char* value) {
#ifdef _WIN32
    ASSERT_TRUE(SetEnvironmentVariableW(n(name).c_str(), n(value).c_str()));
#else
    ASSERT_EQ(::setenv(name, value, 1), 0);
#endif
  };
  set("VANTLE_CHILD_KEPT", "kept");
  set("VANTLE_CHILD_REPLACED", "old");
  set("VANTLE_CHILD_REMOVED", "gone");
  ChildOptions options;
  options.environment = {n("VANTLE_CHILD_ADDED=new"), n("VANTLE_CHILD_REPLACED=new")};
  options.unset = {n("VANTLE_CHILD_REMOVED")};
  ChildProcess child;
  ASSERT_TRUE(child
                  .start(helper({"env:VANTLE_CHILD_KEPT", "env:VANTLE_CHILD_ADDED",
                                 "env:VANTLE_CHILD_REPLACED", "env:VANTLE_CHILD_REMOVED"}),
                         options)
                  .ok());
  ASSERT_TRUE(ended(child));
  EXPECT_EQ(child.out(),
            "VANTLE_CHILD_KEPT=kept\nVANTLE_CHILD_ADDED=new\nVANTLE_CHILD_REPLACED=new\n"
            "VANTLE_CHILD_REMOVED unset\n");
}

TEST(MergeEnvironment, AddsReplacesAndRemovesByName) {
  const auto list = [](std::initializer_list<const char*> entries) {
    std::vector<NativeString> result;
    for (const char* entry : entries) {
      result.push_back(n(entry));
    }
    return result;
  };
  const struct {
    std::vector<NativeString> inherited;
    std::vector<NativeString> set;
    std::vector<NativeString> unset;
    bool ignore_case;
    std::vector<NativeString> merged;
  } cases[] = {
      {list({"A=1", "B=2"}), {}, {}, false, list({"A=1", "B=2"})},
      {list({"A=1", "B=2"}), list({"A=3"}), {}, false, list({"B=2", "A=3"})},
      {list({"A=1", "B=2"}), {}, list({"A", "C"}), false, list({"B=2"})},
      {list({"A=1"}), list({"A=2", "A=3"}), {}, false, list({"A=3"})},
      {list({"A=1"}), list({"A=x=y"}), {}, false, list({"A=x=y"})},
      {list({"AB=1"}), list({"A=2"}), list({"ABC"}), false, list({"AB=1", "A=2"})},
      // POSIX names are case-sensitive, Windows names are not.
      {list({"Path=1"}), list({"PATH=2"}), {}, false, list({"Path=1", "PATH=2"})},
      {list({"Path=1"}), list({"PATH=2"}), {}, true, list({"PATH=2"})},
      {list({"Temp=1", "X=2"}), {}, list({"TEMP"}), true, list({"X=2"})},
      // Windows' hidden per-drive folders: the name starts with '='.
      {list({"=C:=C:\\dir", "A=1"}),
       list({"=D:=D:\\"}),
       {},
       true,
       list({"=C:=C:\\dir", "A=1", "=D:=D:\\"})},
  };
  for (const auto& c : cases) {
    ChildOptions options;
    options.environment = c.set;
    options.unset = c.unset;
    EXPECT_EQ(detail::merge_environment(c.inherited, options, c.ignore_case), c.merged);
  }
}

TEST(QuoteArgument, QuotesOnlyWhatNeedsIt) {
  const struct {
    const char* argument;
    const char* quoted;
  } cases[] = {
      {"plain", "plain"},
      {R"(C:\dir\file)", R"(C:\dir\file)"},
      {"", R"("")"},
      {"two words", R"("two words")"},
      {"tab\there", "\"tab\there\""},
      {R"(say "hi")", R"("say \"hi\"")"},
      {R"(a\"b)", R"("a\\\"b")"},
      {R"(C:\my dir\)", R"("C:\my dir\\")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quote_argument(n(c.argument)), n(c.quoted)) << c.argument;
  }
}

TEST(ChildProcess, ArgumentsReachTheChildUnchanged) {
  const std::vector<std::string> arguments = {"plain",
                                              "two words",
                                              "",
                                              "tab\there",
                                              R"(say "hi")",
                                              R"(trailing\)",
                                              R"(C:\my dir\)",
                                              R"(\\server\share\)",
                                              R"(a\\"b)",
                                              "ends with a space "};
  std::vector<std::string> actions = {"args"};
  std::string expected;
  for (const std::string& argument : arguments) {
    actions.push_back(argument);
    expected += "[" + argument + "]\n";
  }
  ChildProcess child;
  ASSERT_TRUE(child.start(helper(actions)).ok());
  ASSERT_TRUE(ended(child));
  EXPECT_EQ(child.out(), expected);
}

TEST(ProgramFolder, HoldsThisProgramAndItsHelper) {
  const Result<NativeString> folder = program_folder();
  ASSERT_TRUE(folder.ok()) << folder.error();
  ASSERT_FALSE(folder.value().empty());
  EXPECT_TRUE(std::filesystem::path(folder.value()).is_absolute());
  EXPECT_TRUE(std::filesystem::exists(helper({})[0]));
}

#ifndef _WIN32

TEST(ChildProcess, TheChildIsOurDirectChild) {
  ChildProcess child;
  ASSERT_TRUE(child.start({"/bin/sh", "-c", "echo $PPID"}).ok());
  ASSERT_TRUE(ended(child));
  EXPECT_EQ(child.out(), std::to_string(::getpid()) + "\n");
}

// What this process ignores or blocks, its child does not: a translator
// that ignores SIGINT must still be able to stop its host with it.
TEST(ChildProcess, StartsWithDefaultSignalActionsAndNoneBlocked) {
  const struct {
    int number;
    bool block;  // else ignore
  } cases[] = {{SIGINT, false}, {SIGPIPE, false}, {SIGTERM, true}};
  for (const auto& c : cases) {
    struct sigaction ignore {};
    struct sigaction old_action {};
    ignore.sa_handler = SIG_IGN;
    sigset_t set;
    sigset_t old_mask;
    sigemptyset(&set);
    sigaddset(&set, c.number);
    ASSERT_EQ(c.block ? pthread_sigmask(SIG_BLOCK, &set, &old_mask)
                      : sigaction(c.number, &ignore, &old_action),
              0);
    ChildProcess child;
    const Status started =
        child.start({"/bin/sh", "-c", "kill -" + std::to_string(c.number) + " $$; exit 0"});
    ASSERT_EQ(c.block ? pthread_sigmask(SIG_SETMASK, &old_mask, nullptr)
                      : sigaction(c.number, &old_action, nullptr),
              0);
    ASSERT_TRUE(started.ok()) << started.error();
    ASSERT_TRUE(ended(child));
    expect_status(child, {false, c.number}, "signal " + std::to_string(c.number));
  }
}

// The state letter of /proc/PID/stat ('Z' for a zombie), or nothing once the
// process is gone.
std::string process_state(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t paren = text.rfind(')');
  return paren == std::string::npos || paren + 2 >= text.size() ? "" : text.substr(paren + 2, 1);
}

TEST(ChildProcess, AnOwnProcessGroupEndsWithTheChild) {
  pid_t grandchild = 0;
  {
    ChildProcess child;
    ChildOptions options;
    options.own_process_group = true;
    ASSERT_TRUE(child.start({"/bin/sh", "-c", "sleep 600 & echo $!; wait"}, options).ok());
    ASSERT_TRUE(
        child.pump_until([&] { return child.out().find('\n') != std::string::npos; }, kLong));
    grandchild = static_cast<pid_t>(std::stoi(child.out()));
    EXPECT_NE(process_state(grandchild), "");
  }
  // Killed with the group, then reaped by whoever adopted it.
  const auto deadline = std::chrono::steady_clock::now() + kLong;
  while (process_state(grandchild) != "" && process_state(grandchild) != "Z" &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
  }
  const std::string state = process_state(grandchild);
  EXPECT_TRUE(state == "" || state == "Z") << state;
}

#endif

}  // namespace
}  // namespace vantle
