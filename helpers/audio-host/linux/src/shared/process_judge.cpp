#include "shared/process_judge.h"

#include <utility>

#include "shared/processes.h"

namespace audio_host::linux_host {

vantle::Result<bool> ProcessJudge::captured(std::optional<std::uint32_t> pid) {
  if (!table_ || (pid && !table_->contains(*pid))) {
    auto table = build_process_table();
    if (!table) {
      return std::move(table).take_error();
    }
    table_ = std::move(table).value();
  }
  return is_captured(selection_, pid, *table_);
}

}  // namespace audio_host::linux_host
