// Test support: the host's statistics lines on standard error. Apart from
// host_session so that a program can read them without becoming the
// subreaper that HostSession makes of its test program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace test_support {

// The counters of a statistics line ("VANTLE_CAPTURE rate=... accepted_frames=N
// dropped_frames=N discontinuities=N").
struct CaptureStatistics {
  std::uint64_t accepted_frames = 0;
  std::uint64_t dropped_frames = 0;
  std::uint64_t discontinuities = 0;
};

// The last statistics line in a host's standard error; nullopt when there
// is none. `lines` (optional) gets the number of statistics lines and
// `others` the number of lines that are neither those nor the format event.
std::optional<CaptureStatistics> last_statistics(const std::string& err, int* lines = nullptr,
                                                 int* others = nullptr);

}  // namespace test_support
