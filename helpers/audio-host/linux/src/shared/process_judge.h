// Whether the sound of a process is captured, for every Linux backend: the
// capture's selection judged on the process table, read from /proc when the
// judge is made and read again whenever a process is missing from it (a
// process that started since). Main thread only.
#pragma once

#include <cstdint>
#include <optional>

#include "process_rules.h"
#include "result.h"

namespace audio_host::linux_host {

class ProcessJudge {
 public:
  explicit ProcessJudge(const CaptureSelection& selection) : selection_(selection) {}

  // Whether `pid`'s sound is captured (is_captured); a process the server
  // does not tell (nullopt) is left out when including and taken when
  // excluding. Error: the process table could not be read
  // ("process table: ...").
  vantle::Result<bool> captured(std::optional<std::uint32_t> pid);

 private:
  CaptureSelection selection_;
  std::optional<ProcessTable> table_;
};

}  // namespace audio_host::linux_host
