// The listing's folding of one program's processes and its labels, over a
// made-up process tree.
#include "shared/applications.h"

#include <gtest/gtest.h>

namespace audio_host::linux_host {
namespace {

TEST(ListingFold, PlayingProcessesJoinTheListedProcessOfTheirProgram) {
  const std::string browser = "/usr/lib/chromium/chromium";
  const std::string terminal = "/usr/bin/xterm";
  const std::string shell = "/usr/bin/bash";
  const std::string player = "/usr/bin/mpv";
  // 1 <- 100 browser (window) <- 101 browser zygote <- 102 browser audio (plays)
  // 1 <- 200 terminal (window) <- 201 shell <- 202 player (plays)
  // 1 <- 300 player (plays) <- 301 player (plays, paused)
  // 1 <- 400 browser (plays, no window) <- 401 player (plays)
  const std::map<std::uint32_t, std::uint32_t> parents = {
      {100, 1},   {101, 100}, {102, 101}, {200, 1}, {201, 200},
      {202, 201}, {300, 1},   {301, 300}, {400, 1}, {401, 400}};
  const std::map<std::uint32_t, std::string> executables = {
      {1, "/sbin/init"}, {100, browser}, {101, browser}, {102, browser},
      {200, terminal},   {201, shell},   {202, player},  {300, player},
      {301, player},     {400, browser}, {401, player}};
  ListedProcesses processes = {
      {100, {browser, false, false}}, {102, {browser, true, true}}, {200, {terminal, false, false}},
      {202, {player, true, true}},    {300, {player, true, false}}, {301, {player, true, true}},
      {400, {browser, true, true}},   {401, {player, true, false}},
  };
  fold_into_same_program(
      processes,
      [&](std::uint32_t pid) -> std::optional<std::uint32_t> {
        const auto found = parents.find(pid);
        return found != parents.end() ? std::optional<std::uint32_t>(found->second) : std::nullopt;
      },
      [&](std::uint32_t pid) -> std::optional<std::string> {
        const auto found = executables.find(pid);
        return found != executables.end() ? std::optional<std::string>(found->second)
                                          : std::nullopt;
      });

  struct Expected {
    std::uint32_t pid;
    bool active;
  };
  // The browser's audio service joins the window owner, which now plays;
  // the player under a shell, the player under the browser and the first
  // player keep their entries; the paused child player joins its parent,
  // whose activity it brings.
  const Expected expected[] = {{100, true}, {200, false}, {202, true},
                               {300, true}, {400, true},  {401, false}};
  ASSERT_EQ(processes.size(), std::size(expected));
  for (const Expected& e : expected) {
    ASSERT_TRUE(processes.contains(e.pid)) << e.pid;
    EXPECT_EQ(processes.at(e.pid).active, e.active) << e.pid;
  }
}

TEST(ListingLabel, TheFileNameWithoutTheMarkOfAReplacedFile) {
  EXPECT_EQ(listing_label("/usr/bin/mpv"), "mpv");
  EXPECT_EQ(listing_label("/usr/bin/mpv (deleted)"), "mpv");
  EXPECT_EQ(listing_label("/opt/my app/run (deleted) now"), "run (deleted) now");
}

}  // namespace
}  // namespace audio_host::linux_host
