// The console stop handler, called directly for each signal (Wine delivers
// only Ctrl+C to a real handler; the end-to-end tests cover that one).
#include "native/console_stop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace audio_host::win {
namespace {

using namespace std::chrono_literals;

TEST(ConsoleStopHandler, EverySignalRequestsTheStopAndOnlyTheEndingOnesWait) {
  constexpr DWORD kWaitMs = 300;
  const struct {
    DWORD signal;
    bool waits;
  } cases[] = {
      {CTRL_C_EVENT, false},     {CTRL_BREAK_EVENT, false},   {CTRL_CLOSE_EVENT, true},
      {CTRL_LOGOFF_EVENT, true}, {CTRL_SHUTDOWN_EVENT, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.signal);
    console_stop_requested().store(false);
    // The signals that do not end the process return at once, however long
    // the wait would be; the others hold their thread for the whole bound
    // (the process's exit is what ends them).
    const DWORD wait_ms = c.waits ? kWaitMs : 60000;
    const auto start = std::chrono::steady_clock::now();
    auto handled =
        std::async(std::launch::async, [&] { return handle_console_signal(c.signal, wait_ms); });
    ASSERT_EQ(handled.wait_for(20s), std::future_status::ready) << "the handler did not return";
    EXPECT_EQ(handled.get(), TRUE);
    EXPECT_TRUE(console_stop_requested().load());
    if (c.waits) {
      EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWaitMs - 15));
    }
  }
  console_stop_requested().store(false);
}

TEST(ConsoleStopHandler, InstallsForTheProcess) {
  EXPECT_TRUE(install_console_stop_handler().ok());
  EXPECT_EQ(handle_console_signal(CTRL_C_EVENT, 60000), TRUE);
  console_stop_requested().store(false);
}

}  // namespace
}  // namespace audio_host::win
