// The graph cycles that never reached the capture stream, from the graph's
// position: each cycle's position (in ticks of the graph's rate) and the
// frames it brought. A cycle begins where the previous one ended; a
// position further on means cycles were missed (the machine was too busy,
// the host was stopped), and what they would have brought is filled with
// silence, so the PCM keeps 48000 frames per second of the graph's clock.
// The quantum may be anything and change from one cycle to the next; a
// position that does not move on as far as the last cycle (the graph's
// driver changed) or a changed rate starts the count afresh.
//
// Pure arithmetic, no allocation: it runs in the capture stream's process
// callback, on PipeWire's data thread, which owns it.
#pragma once

#include <cstdint>

namespace audio_host::pipewire_host {

struct CycleGap {
  std::uint64_t silence_frames = 0;  // to push before this cycle's frames
  std::uint64_t dropped_frames = 0;  // missed beyond the fill limit: counted only
  bool discontinuity = false;        // one counted per gap
};

class CycleGaps {
 public:
  // `stream_rate`: the capture stream's frames per second; a gap is filled
  // with at most `max_fill_frames` of silence, the rest counted as dropped.
  CycleGaps(std::uint32_t stream_rate, std::uint64_t max_fill_frames)
      : stream_rate_(stream_rate), max_fill_frames_(max_fill_frames) {}

  // One cycle that reached the stream: the graph's position `ticks` at
  // `graph_rate` ticks per second (0: unknown) and the `frames` it brought.
  CycleGap next_cycle(std::uint64_t ticks, std::uint32_t graph_rate, std::uint64_t frames);

 private:
  std::uint32_t stream_rate_;
  std::uint64_t max_fill_frames_;
  bool started_ = false;
  std::uint32_t graph_rate_ = 0;
  std::uint64_t last_ticks_ = 0;
  std::uint64_t last_frames_ = 0;
};

}  // namespace audio_host::pipewire_host
