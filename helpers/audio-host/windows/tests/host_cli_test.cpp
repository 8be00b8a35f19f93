// The real audio-host.exe under Wine, driven like the translator drives it:
// the command line's refusals end as one error event and exit status 1.
#include <gtest/gtest.h>

#include "events.h"
#include "std_streams.h"
#include "support/child_process.h"

namespace {

using test_support::run;

std::wstring host_exe() {
  return test_support::program_folder() + L"audio-host.exe";
}

std::string error_line(const std::string& message) {
  return R"({"code":"capture_failed","event":"error","message":")" + message + "\"}\n";
}

TEST(HostCommandLine, RefusalsAreOneErrorLineAndExitStatusOne) {
  struct Case {
    std::vector<std::wstring> arguments;
    const char* message;
  };
  const Case cases[] = {
      {{}, "one excluded parent PID is required"},
      {{L"--help"}, "arguments must be flag/value pairs"},
      {{L"--list", L"--list"}, "unknown or duplicate argument"},
      {{L"--target", L"pid:0", L"--exclude-pids", L"42"}, "target must be system or pid:N"},
      // An unpaired surrogate cannot become UTF-8.
      {{std::wstring(L"--target"), std::wstring(1, wchar_t(0xD800))},
       "arguments must be valid Unicode text"},
  };
  for (const Case& c : cases) {
    const auto result = run(host_exe(), c.arguments);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 1u) << c.message;
    EXPECT_EQ(result.err, error_line(c.message));
    EXPECT_EQ(result.out, "");
  }
}

// A listing that reaches nobody is a failure, reported like any failed
// write of the listing: the system's text for the write's error.
TEST(HostListing, ListingThatCannotBeDeliveredIsAnError) {
  using Stdout = test_support::ChildOptions::Stdout;
  const struct {
    Stdout mode;
    std::vector<std::string> messages;  // Wine reports a broken pipe, Windows "no data"
  } cases[] = {
      {Stdout::none, {vantle::os_error_text(ERROR_INVALID_HANDLE)}},
      {Stdout::reader_gone,
       {vantle::os_error_text(ERROR_BROKEN_PIPE), vantle::os_error_text(ERROR_NO_DATA)}},
  };
  for (const auto& c : cases) {
    test_support::ChildOptions options;
    options.stdout_mode = c.mode;
    const auto result = run(host_exe(), {L"--list"}, options);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exit_code, 1u);
    bool known = false;
    for (const auto& message : c.messages) {
      known = known || result.err == audio_host::error_event(message).to_json() + "\n";
    }
    EXPECT_TRUE(known) << result.err;
  }
}

}  // namespace
