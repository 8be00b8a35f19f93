#include "pipewire/cycle_gaps.h"

#include <algorithm>

namespace audio_host::pipewire_host {
namespace {

// `value` * `to` / `from`, rounded to the nearest.
std::uint64_t rescale(std::uint64_t value, std::uint32_t to, std::uint32_t from) {
  return (value * to + from / 2) / from;
}

}  // namespace

CycleGap CycleGaps::next_cycle(std::uint64_t ticks, std::uint32_t graph_rate,
                               std::uint64_t frames) {
  CycleGap gap;
  if (graph_rate == 0) {
    started_ = false;
    return gap;
  }
  if (started_ && graph_rate == graph_rate_ && ticks > last_ticks_) {
    const std::uint64_t elapsed = ticks - last_ticks_;
    // The last cycle's length in ticks. At another rate than the stream's
    // the converter's output varies by a frame or two from cycle to cycle:
    // less than half the smallest quantum (32) is no gap.
    const bool same_rate = graph_rate == stream_rate_;
    const std::uint64_t expected =
        same_rate ? last_frames_ : rescale(last_frames_, graph_rate, stream_rate_);
    const std::uint64_t tolerance = same_rate ? 0 : 16;
    if (elapsed > expected + tolerance) {
      const std::uint64_t missing =
          same_rate ? elapsed - expected : rescale(elapsed - expected, stream_rate_, graph_rate);
      gap.silence_frames = std::min(missing, max_fill_frames_);
      gap.dropped_frames = missing - gap.silence_frames;
      gap.discontinuity = true;
    }
  }
  started_ = true;
  graph_rate_ = graph_rate;
  last_ticks_ = ticks;
  last_frames_ = frames;
  return gap;
}

}  // namespace audio_host::pipewire_host
