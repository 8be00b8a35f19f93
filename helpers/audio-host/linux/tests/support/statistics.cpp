#include "support/statistics.h"

#include <cstdio>
#include <sstream>

#include "support/host_session.h"  // kFormatLine only

namespace test_support {

std::optional<CaptureStatistics> last_statistics(const std::string& err, int* lines, int* others) {
  std::optional<CaptureStatistics> last;
  int statistics = 0;
  int rest = 0;
  std::istringstream text(err);
  for (std::string line; std::getline(text, line);) {
    CaptureStatistics counts;
    unsigned long long accepted = 0;
    unsigned long long dropped = 0;
    unsigned long long discontinuities = 0;
    const std::size_t at = line.find(" accepted_frames=");
    if (line.rfind("VANTLE_CAPTURE rate=", 0) == 0 && at != std::string::npos &&
        std::sscanf(line.c_str() + at,
                    " accepted_frames=%llu dropped_frames=%llu discontinuities=%llu", &accepted,
                    &dropped, &discontinuities) == 3) {
      counts.accepted_frames = accepted;
      counts.dropped_frames = dropped;
      counts.discontinuities = discontinuities;
      last = counts;
      ++statistics;
    } else if (line + "\n" != kFormatLine) {
      ++rest;
    }
  }
  if (lines != nullptr) {
    *lines = statistics;
  }
  if (others != nullptr) {
    *others = rest;
  }
  return last;
}

}  // namespace test_support
