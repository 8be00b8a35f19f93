#include "process_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace audio_host {
namespace {

constexpr const char* kAccepted = "<accepted>";
constexpr const char* kNotParent = "excluded PID must be the helper's parent application";
constexpr const char* kTranslatorGone = "parent process is no longer present";
constexpr const char* kTargetGone = "selected process is no longer present";
constexpr const char* kTouches = "selected process tree includes the translator or belongs to it";
constexpr const char* kCyclic = "cyclic process ancestry";

constexpr std::uint32_t kTranslator = 42;
constexpr std::uint32_t kHost = 50;

// A family around the translator (42), with the host (50) as its child:
//   100 (parent 0) -> 10 -> 20 -> 42 -> 50 (host)
//                          |      \-> 60 -> 61
//                          \-> 70 (the translator's sibling)
//   80 -> 999 (not in the snapshot);  90 -> 0
ProcessTable family() {
  return {{100, 0},          {10, 100}, {20, 10}, {kTranslator, 20}, {kHost, kTranslator},
          {60, kTranslator}, {61, 60},  {70, 20}, {80, 999},         {90, 0}};
}

ProcessTable with(ProcessTable table, const ProcessTable& changes) {
  for (const auto& [pid, parent] : changes) {
    table[pid] = parent;
  }
  return table;
}

HostRequest target(std::uint32_t pid) {
  return CaptureProcess{pid, kTranslator, "C:\\Apps\\player.exe", 1};
}

std::string outcome(const HostRequest& request, const ProcessTable& table,
                    std::uint32_t excluded_pid = kTranslator, std::uint32_t own_pid = kHost) {
  const auto status = check_ancestry_rules(request, excluded_pid, own_pid, table);
  return status ? kAccepted : status.error();
}

struct RuleCase {
  const char* name;
  HostRequest request;
  ProcessTable table;
  const char* expected;
  std::uint32_t excluded_pid = kTranslator;
};

TEST(AncestryRules, DecideByTheFirstFailingRule) {
  const HostRequest system = CaptureSystem{kTranslator};
  ProcessTable no_translator = family();
  no_translator.erase(kTranslator);
  ProcessTable no_host = family();
  no_host.erase(kHost);

  const std::vector<RuleCase> cases = {
      {"system, host is the translator's child", system, family(), kAccepted},
      {"pid, sibling of the translator", target(70), family(), kAccepted},
      {"pid, unrelated", target(90), family(), kAccepted},
      {"pid, chain ends in an unknown PID", target(80), family(), kAccepted},
      // The parent rule, for both targets.
      {"system, host missing", system, no_host, kNotParent},
      {"pid, host missing", target(70), no_host, kNotParent},
      {"system, grandparent given as excluded", system, family(), kNotParent, 20},
      {"pid, grandparent given as excluded", target(70), family(), kNotParent, 20},
      {"pid, host's child given as excluded", target(70), family(), kNotParent, 60},
      // The translator must still be in the snapshot.
      {"system, translator gone", system, no_translator, kTranslatorGone},
      {"pid, translator and target gone", target(12345), no_translator, kTranslatorGone},
      {"pid, target gone", target(12345), family(), kTargetGone},
      // Neither the translator, nor below it, nor above it.
      {"pid, the translator", target(kTranslator), family(), kTouches},
      {"pid, the host itself", target(kHost), family(), kTouches},
      {"pid, child of the translator", target(60), family(), kTouches},
      {"pid, grandchild of the translator", target(61), family(), kTouches},
      {"pid, parent of the translator", target(20), family(), kTouches},
      {"pid, further ancestor", target(100), family(), kTouches},
      {"pid, grandparent", target(10), family(), kTouches},
      // The parent rule wins over a target rule.
      {"pid, translator as target, wrong excluded", target(kTranslator), family(), kNotParent, 20},
      {"pid, missing target, host missing", target(12345), no_host, kNotParent},
  };
  for (const RuleCase& c : cases) {
    EXPECT_EQ(outcome(c.request, c.table, c.excluded_pid), c.expected) << c.name;
  }
}

TEST(AncestryRules, ParentLoopsAreErrorsOnlyWhereAWalkMeetsThem) {
  const std::vector<RuleCase> cases = {
      {"target is its own parent", target(300), with(family(), {{300, 300}}), kCyclic},
      {"target in a two-process loop", target(301), with(family(), {{301, 302}, {302, 301}}),
       kCyclic},
      {"loop above the target's parent", target(303),
       with(family(), {{303, 301}, {301, 302}, {302, 301}}), kCyclic},
      // The translator's ancestors loop; the target's chain avoids the loop,
      // so only the second walk meets it.
      {"loop above the translator", target(80), with(family(), {{10, 20}}), kCyclic},
      // The target is an ancestor of the translator and on the loop: the
      // first walk meets the loop before the second could refuse the target.
      {"target above the translator and on a loop", target(10), with(family(), {{10, 20}}),
       kCyclic},
      // The sought PID comes before the loop: found, no error.
      {"translator found below a loop", target(61), with(family(), {{10, 20}}), kTouches},
      // A system capture walks nothing.
      {"system, loops elsewhere", CaptureSystem{kTranslator},
       with(family(), {{300, 300}, {10, 20}}), kAccepted},
      // PID 0 ends a chain even where a parent is recorded for it.
      {"chain through PID 0", target(90), with(family(), {{0, kTranslator}}), kAccepted},
      {"PID 0 recorded in a loop", target(90), with(family(), {{0, 90}}), kAccepted},
  };
  for (const RuleCase& c : cases) {
    EXPECT_EQ(outcome(c.request, c.table, c.excluded_pid), c.expected) << c.name;
  }
}

TEST(AncestryLine, WalksRecordedParentsOnly) {
  struct Case {
    ProcessTable table;
    std::uint32_t start;
    std::uint32_t sought;
    const char* expected;  // "true", "false" or the error
  };
  const std::vector<Case> cases = {
      {{}, 7, 7, "true"},  // the start itself, even when it is not in the table
      {{}, 7, 8, "false"},
      {{{0, 5}}, 0, 0, "false"},  // 0 ends the walk before it is compared
      {{{3, 2}, {2, 1}}, 3, 1, "true"},
      {{{3, 2}, {2, 1}}, 1, 3, "false"},  // descendants are not ancestors
      {{{3, 2}, {2, 0}, {0, 1}}, 3, 1, "false"},
      {{{3, 3}}, 3, 3, "true"},  // found before the loop is noticed
      {{{3, 3}}, 3, 4, kCyclic},
      {{{3, 2}, {2, 3}}, 3, 4, kCyclic},
      {{{4, 3}, {3, 2}, {2, 3}}, 4, 2, "true"},
  };
  for (const Case& c : cases) {
    const auto result = is_on_ancestry_line(c.table, c.start, c.sought);
    const std::string got = !result ? result.error() : result.value() ? "true" : "false";
    EXPECT_EQ(got, c.expected) << c.start << " -> " << c.sought;
  }
}

TEST(IsCaptured, IncludesTheTargetsTreeOrExcludesTheTranslators) {
  // 1 <- 10 (translator) <- 11 (host), 10 <- 12 <- 13; 1 <- 20 (target) <- 21 <- 22;
  // 30 <-> 31 a loop.
  const ProcessTable table = {{1, 0},  {10, 1},  {11, 10}, {12, 10}, {13, 12},
                              {20, 1}, {21, 20}, {22, 21}, {30, 31}, {31, 30}};
  using Mode = CaptureSelection::Mode;
  // A request for 20 by translator 10 takes 20's tree; a system capture by
  // 10 everything outside 10's.
  const CaptureSelection include = capture_selection(CaptureProcess{20, 10, "/bin/20", 7});
  const CaptureSelection exclude = capture_selection(CaptureSystem{10});
  ASSERT_EQ(include, (CaptureSelection{Mode::include_tree, 20}));
  ASSERT_EQ(exclude, (CaptureSelection{Mode::exclude_tree, 10}));
  struct Case {
    std::optional<std::uint32_t> pid;
    bool included;
    bool in_system_capture;
  };
  const Case cases[] = {
      {20, true, true},
      {22, true, true},
      {1, false, true},
      {10, false, false},
      {11, false, false},
      {13, false, false},
      {40, false, true},  // not in the table: a process of another namespace
      {std::nullopt, false, true},
      {30, false, false},  // a loop proves nothing
  };
  for (const Case& c : cases) {
    const std::string name = c.pid ? std::to_string(*c.pid) : "unknown";
    EXPECT_EQ(is_captured(include, c.pid, table), c.included) << name;
    EXPECT_EQ(is_captured(exclude, c.pid, table), c.in_system_capture) << name;
  }
}

TEST(IdentityComparison, FoldsOnlyAsciiLettersAndNeedsTheExactStartTime) {
  constexpr std::uint64_t kStart = 133'456'789'012'345'678;
  const std::string exe = "C:\\Apps\\Player\xC3\x84.exe";  // ...PlayerÄ.exe
  struct Case {
    std::string expected_exe;
    std::uint64_t expected_start;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {exe, kStart, true},
      {"c:\\apps\\PLAYER\xC3\x84.EXE", kStart, true},
      {"C:\\Apps\\Player\xC3\xA4.exe", kStart, false},  // ä: non-ASCII case differs
      {"C:/Apps/Player\xC3\x84.exe", kStart, false},
      {exe + "\\", kStart, false},
      {"Player\xC3\x84.exe", kStart, false},
      {"\\\\?\\" + exe, kStart, false},
      {exe + " ", kStart, false},
      {exe, kStart + 1, false},
      {exe, kStart - 1, false},
      {"c:\\apps\\player\xC3\xA4.exe", kStart + 1, false},
  };
  for (const Case& c : cases) {
    const auto status =
        verify_identity_values(exe, kStart, c.expected_exe, c.expected_start, PathRules::windows);
    EXPECT_EQ(status.ok(), c.accepted) << c.expected_exe << " " << c.expected_start;
    if (!status) {
      EXPECT_EQ(status.error(), "selected process identity changed; refresh the process list");
    }
  }
}

TEST(IdentityComparison, PunctuationIsNotFoldedLikeLetters) {
  constexpr PathRules kWindows = PathRules::windows;
  // Bytes that differ by 0x20 but are not A-Z/a-z stay different.
  EXPECT_FALSE(same_executable_path("C:\\a@b.exe", "C:\\a`b.exe", kWindows));
  EXPECT_FALSE(same_executable_path("C:\\a[b.exe", "C:\\a{b.exe", kWindows));
  EXPECT_FALSE(same_executable_path("C:\\a\xC4.exe", "C:\\a\xE4.exe", kWindows));
  EXPECT_TRUE(same_executable_path("AZaz", "azAZ", kWindows));
  EXPECT_FALSE(same_executable_path("C:\\a.exe", std::string("C:\\a.exe\0", 9), kWindows));
}

// Linux paths are bytes: any difference, the case of ASCII letters included,
// is another program.
TEST(IdentityComparison, PosixPathsAreComparedByteForByte) {
  const struct {
    const char* expected;
    bool same;
  } cases[] = {
      {"/usr/bin/paplay", true},
      {"/usr/bin/Paplay", false},
      {"/usr/bin/paplay/", false},
      {"/usr//bin/paplay", false},
      {"/usr/bin/paplay (deleted)", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(same_executable_path("/usr/bin/paplay", c.expected, PathRules::posix), c.same)
        << c.expected;
    EXPECT_EQ(verify_identity_values("/usr/bin/paplay", 7, c.expected, 7, PathRules::posix).ok(),
              c.same);
  }
}

}  // namespace
}  // namespace audio_host
