// The process table and identities against the real /proc.
#include "shared/processes.h"

#include "shared/process_judge.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace audio_host::linux_host {
namespace {

pid_t spawn_sleep() {
  const char* argv[] = {"sleep", "30", nullptr};
  pid_t pid = 0;
  EXPECT_EQ(posix_spawnp(&pid, "sleep", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  return pid;
}

TEST(ProcessTable, RecordsThisProcessAndItsChild) {
  const pid_t child = spawn_sleep();
  auto table = build_process_table();
  ASSERT_TRUE(table) << table.error();
  EXPECT_EQ(table.value().at(static_cast<std::uint32_t>(getpid())),
            static_cast<std::uint32_t>(getppid()));
  EXPECT_EQ(table.value().at(static_cast<std::uint32_t>(child)),
            static_cast<std::uint32_t>(getpid()));
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
}

TEST(ProcessIdentity, ReadsPathAndStartTimeAndSeesTheEnd) {
  const pid_t child = spawn_sleep();
  auto first = read_process_identity(static_cast<std::uint32_t>(child));
  ASSERT_TRUE(first) << first.error();
  char path[4096] = {};
  ASSERT_GT(readlink(("/proc/" + std::to_string(child) + "/exe").c_str(), path, sizeof path - 1),
            0);
  EXPECT_EQ(first.value().exe(), path);
  EXPECT_GT(first.value().start_time(), 0u);
  EXPECT_TRUE(first.value().running());

  // The same process read again: the same identity; a path differing only
  // in case is another path on Linux.
  auto again = read_process_identity(static_cast<std::uint32_t>(child));
  ASSERT_TRUE(again);
  EXPECT_EQ(again.value().start_time(), first.value().start_time());
  EXPECT_TRUE(
      verify_selected_identity(again.value(), path, first.value().start_time(), PathRules::posix));
  std::string upper = path;
  for (char& c : upper) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  const std::string changed = "selected process identity changed; refresh the process list";
  EXPECT_EQ(
      verify_selected_identity(again.value(), upper, first.value().start_time(), PathRules::posix)
          .error(),
      changed);
  EXPECT_EQ(verify_selected_identity(again.value(), path, first.value().start_time() + 1,
                                     PathRules::posix)
                .error(),
            changed);

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(first.value().running());
  const auto gone = read_process_identity(static_cast<std::uint32_t>(child));
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error(), "open process: " + std::string(std::strerror(ESRCH)) + " (os error 3)");
}

TEST(AncestryLine, ReadsLinksUpToTheRootZeroALoopOrAGap) {
  // 22 <- 21 <- 20 <- 1 <- 0; 13 <- 12, whose parent cannot be read;
  // 30 <-> 31 a loop.
  const ProcessTable parents = {{22, 21}, {21, 20}, {20, 1}, {1, 0}, {13, 12}, {30, 31}, {31, 30}};
  const auto parent_of = [&](std::uint32_t pid) -> std::optional<std::uint32_t> {
    const auto found = parents.find(pid);
    return found != parents.end() ? std::optional<std::uint32_t>(found->second) : std::nullopt;
  };
  struct Case {
    std::uint32_t pid;
    std::uint32_t stop_at;
    ProcessTable line;
  };
  const Case cases[] = {
      {22, 20, {{22, 21}, {21, 20}}},                   // up to the root, not past it
      {22, 99, {{22, 21}, {21, 20}, {20, 1}, {1, 0}}},  // up to PID 0
      {20, 20, {}},                                     // the root itself
      {13, 99, {{13, 12}}},                             // 12 has gone
      {30, 99, {{30, 31}, {31, 30}}},                   // the loop stays for the walk to find
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read_ancestry_line(c.pid, c.stop_at, parent_of), c.line) << c.pid;
  }
}

// The judge reads the line from /proc when it decides: this test's child
// is in this test's tree, and a process that has ended belongs nowhere.
TEST(ProcessJudge, JudgesTheLiveProcessByItsLineNow) {
  const auto self = static_cast<std::uint32_t>(getpid());
  const pid_t child = spawn_sleep();
  const auto child_pid = static_cast<std::uint32_t>(child);
  using Mode = CaptureSelection::Mode;
  const ProcessJudge include(CaptureSelection{Mode::include_tree, self});
  const ProcessJudge exclude(CaptureSelection{Mode::exclude_tree, self});
  const ProcessJudge include_other(CaptureSelection{Mode::include_tree, child_pid});

  EXPECT_TRUE(include.captured(child_pid));
  EXPECT_FALSE(exclude.captured(child_pid));
  EXPECT_FALSE(include_other.captured(self));  // an ancestor is not in the tree
  EXPECT_TRUE(exclude.captured(static_cast<std::uint32_t>(getppid())));
  EXPECT_FALSE(include.captured(std::nullopt));
  EXPECT_TRUE(exclude.captured(std::nullopt));

  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(include.captured(child_pid));
  EXPECT_FALSE(exclude.captured(child_pid));
}

}  // namespace
}  // namespace audio_host::linux_host
