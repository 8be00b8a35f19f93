// Process snapshot and identity against real processes: this test program
// and a window-helper child it starts (with no window, so no display is
// needed).
#include "native/processes.h"

#include <gtest/gtest.h>
#include <winternl.h>

#include <algorithm>
#include <cctype>

#include "native/system_error.h"
#include "support/window_helper_child.h"
#include "text.h"

namespace audio_host::win {
namespace {

using test_support::Child;
using test_support::HelperIdentity;

// The parent PID the kernel keeps for this process, read without Toolhelp.
// (The field names of PROCESS_BASIC_INFORMATION differ between SDKs; the
// parent is the sixth pointer-sized field.)
std::uint32_t parent_from_basic_information() {
  ULONG_PTR fields[6] = {};
  static_assert(sizeof fields == sizeof(PROCESS_BASIC_INFORMATION));
  const NTSTATUS status = NtQueryInformationProcess(GetCurrentProcess(), ProcessBasicInformation,
                                                    fields, sizeof fields, nullptr);
  EXPECT_EQ(status, 0);
  return static_cast<std::uint32_t>(fields[5]);
}

std::uint64_t creation_time(HANDLE process) {
  FILETIME creation{}, exit{}, kernel{}, user{};
  EXPECT_TRUE(GetProcessTimes(process, &creation, &exit, &kernel, &user));
  return (std::uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
}

// The system's description of a Win32 error code, trimmed, as UTF-8.
std::string formatted(std::int32_t code) {
  wchar_t buffer[2048];
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, buffer, 2048, nullptr);
  length = static_cast<DWORD>(trimmed_length(buffer, length));
  return vantle::utf16_to_utf8_lossy(buffer, length);
}

class WithHelperChild : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(test_support::start_window_helper(child_, {L"--visible", L"0"}, helper_, error))
        << error;
    ASSERT_EQ(helper_.pid, child_.pid());
  }
  Child child_;
  HelperIdentity helper_;
};

TEST_F(WithHelperChild, SnapshotHoldsThisProcessAndItsChildWithTheirParents) {
  const auto table = build_process_table();
  ASSERT_TRUE(table) << table.error();
  const std::uint32_t own_pid = GetCurrentProcessId();

  ASSERT_TRUE(table.value().contains(own_pid));
  EXPECT_EQ(table.value().at(own_pid), parent_from_basic_information());
  ASSERT_TRUE(table.value().contains(child_.pid()));
  EXPECT_EQ(table.value().at(child_.pid()), own_pid);

  // The rules over a real snapshot, with this test in the translator's
  // place and its child in the host's.
  const HostRequest system = CaptureSystem{own_pid};
  EXPECT_TRUE(check_ancestry_rules(system, own_pid, child_.pid(), table.value()));
  const HostRequest self = CaptureProcess{own_pid, own_pid, helper_.exe, 1};
  const auto refused = check_ancestry_rules(self, own_pid, child_.pid(), table.value());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "selected process tree includes the translator or belongs to it");
}

TEST_F(WithHelperChild, IdentityIsThePathAndCreationTimeTheSystemReports) {
  auto read = read_process_identity(child_.pid());
  ASSERT_TRUE(read) << read.error();
  ProcessIdentity identity = std::move(read).value();

  // Wine reports its Unix files on drive Z:, in Win32 form.
  EXPECT_EQ(identity.exe(), helper_.exe);
  EXPECT_TRUE(identity.exe().ends_with("\\window-helper.exe")) << identity.exe();
  EXPECT_EQ(identity.start_time(), helper_.start_time);
  EXPECT_EQ(identity.start_time(), creation_time(child_.process()));

  // What the translator would send back for this process is accepted, also
  // with ASCII letters in another case; one tick off is not.
  std::string lower = identity.exe();
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  EXPECT_TRUE(verify_selected_identity(identity, lower, helper_.start_time, PathRules::windows));
  EXPECT_FALSE(
      verify_selected_identity(identity, helper_.exe, helper_.start_time + 1, PathRules::windows));

  // The handle is for waiting: running now, signalled once the child ends.
  EXPECT_EQ(WaitForSingleObject(identity.handle(), 0), DWORD{WAIT_TIMEOUT});
  child_.close_stdin();
  EXPECT_EQ(WaitForSingleObject(identity.handle(), 20000), WAIT_OBJECT_0);

  // One owner: the handle moves with the identity.
  ProcessIdentity moved = std::move(identity);
  EXPECT_NE(moved.handle(), nullptr);
  EXPECT_EQ(identity.handle(), nullptr);  // NOLINT(bugprone-use-after-move)
  EXPECT_FALSE(identity.running());       // NOLINT(bugprone-use-after-move)
}

TEST(ReadProcessIdentity, UnopenablePidGivesTheOpenProcessMessage) {
  // A PID far above any Wine or Windows hands out.
  constexpr std::uint32_t kNoSuchPid = 0x7FFFFFF0;
  const auto table = build_process_table();
  ASSERT_TRUE(table);
  ASSERT_FALSE(table.value().contains(kNoSuchPid));

  const auto identity = read_process_identity(kNoSuchPid);
  ASSERT_FALSE(identity);
  // The same call again, for the code the system gives.
  SetLastError(0);
  EXPECT_EQ(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, kNoSuchPid),
            nullptr);
  const std::int32_t code = hresult_from_win32(GetLastError());
  ASSERT_NE(code, 0);
  EXPECT_EQ(identity.error(), "open process: " + compose_system_error_text(code, formatted(code)));
}

}  // namespace
}  // namespace audio_host::win
