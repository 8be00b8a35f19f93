// A player for the end-to-end tests and the benchmark that needs what
// paplay cannot do: many streams from one client, one after another, a
// stream that pauses (corks) and resumes, and tones whose onsets are known
// to the sample.
//
//   pulse-test-player [--streams N] [--ms M] [--pause-ms P] [--hz F]
//                     [--level A] [--on-ms B --period-ms Q] [--lead-ms L]
//                     [--cork-after-ms T --cork-ms C] [--device SINK]
//                     [--gate FIFO] [--parallel N [--hz-step S] [--corked]]
//
// Each stream plays M ms (default 1000) of float stereo at 48 kHz: L ms of
// silence, then a sine of F Hz (440) at amplitude A (0.5), continuous or,
// with --on-ms and --period-ms, on for the first B ms of every Q ms. The N
// streams (1) are played one after another on one connection, each to
// its end (drained), with P ms (100) between them. With --parallel, N
// streams play at once instead (stream k at F + k*S Hz, S default 37), each
// M ms, or stay corked with --corked (for listings), until killed. With
// --cork-after-ms the
// first stream is corked T ms after it was created, for C ms. With --gate
// the player connects, then waits until a line can be read from FIFO before
// its first stream. It prints "stream K sink-input I" when stream K (from 0)
// is ready and "done" at the end.
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr double kRate = 48000;
constexpr double kPi = 3.14159265358979323846;

struct Options {
  int streams = 1;
  double ms = 1000;
  double pause_ms = 100;
  double hz = 440;
  double level = 0.5;
  double on_ms = 0;
  double period_ms = 0;
  double lead_ms = 0;
  double cork_after_ms = -1;
  double cork_ms = 0;
  std::string device;
  std::string gate;
  int parallel = 0;
  double hz_step = 37;
  bool corked = false;
};

// One of the streams that play at once (--parallel).
struct ParallelStream {
  struct Player* player = nullptr;
  pa_stream* stream = nullptr;
  double hz = 0;
  std::uint64_t written = 0;
  std::vector<float> second;  // one second of its tone (whole cycles for whole Hz)
};

struct Player {
  Options options;
  pa_mainloop* loop = nullptr;
  pa_mainloop_api* api = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  int played = 0;             // streams finished
  std::uint64_t written = 0;  // frames of the current stream
  std::uint64_t total = 0;    // frames per stream
  bool draining = false;
  bool finished = false;
  int status = 0;
  std::vector<ParallelStream> parallel;

  float sample(std::uint64_t frame) const {
    const double t_ms = static_cast<double>(frame) * 1000.0 / kRate - options.lead_ms;
    if (t_ms < 0) {
      return 0.0f;
    }
    if (options.period_ms > 0 && std::fmod(t_ms, options.period_ms) >= options.on_ms) {
      return 0.0f;
    }
    const double t = (static_cast<double>(frame) - options.lead_ms * kRate / 1000.0) / kRate;
    return static_cast<float>(options.level * std::sin(2 * kPi * options.hz * t));
  }

  void fail(const char* what) {
    std::fprintf(stderr, "pulse-test-player: %s: %s\n", what,
                 pa_strerror(pa_context_errno(context)));
    status = 1;
    api->quit(api, 1);
  }
};

void after(Player& player, double ms, pa_time_event_cb_t callback) {
  timeval when{};
  pa_gettimeofday(&when);
  pa_timeval_add(&when, static_cast<pa_usec_t>(ms * 1000));
  player.api->time_new(player.api, &when, callback, &player);
}

void start_stream(Player& player);

void next_stream(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* userdata) {
  api->time_free(event);
  start_stream(*static_cast<Player*>(userdata));
}

void drained(pa_stream* stream, int, void* userdata) {
  auto& player = *static_cast<Player*>(userdata);
  pa_stream_set_write_callback(stream, nullptr, nullptr);
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
  player.stream = nullptr;
  ++player.played;
  if (player.played == player.options.streams) {
    player.finished = true;
    std::printf("done\n");
    std::fflush(stdout);
    player.api->quit(player.api, 0);
    return;
  }
  after(player, player.options.pause_ms, &next_stream);
}

void write_more(pa_stream* stream, std::size_t bytes, void* userdata) {
  auto& player = *static_cast<Player*>(userdata);
  constexpr std::size_t kFrameBytes = 2 * sizeof(float);
  std::uint64_t frames = bytes / kFrameBytes;
  frames = std::min(frames, player.total - player.written);
  if (frames > 0) {
    std::vector<float> samples(frames * 2);
    for (std::uint64_t i = 0; i < frames; ++i) {
      samples[i * 2] = samples[i * 2 + 1] = player.sample(player.written + i);
    }
    if (pa_stream_write(stream, samples.data(), frames * kFrameBytes, nullptr, 0,
                        PA_SEEK_RELATIVE) < 0) {
      player.fail("write");
      return;
    }
    player.written += frames;
  }
  if (player.written == player.total && !player.draining) {
    player.draining = true;
    pa_operation* drain = pa_stream_drain(stream, &drained, &player);
    if (drain != nullptr) {
      pa_operation_unref(drain);
    }
  }
}

void set_cork(Player& player, int corked) {
  if (player.stream != nullptr) {
    pa_operation* operation = pa_stream_cork(player.stream, corked, nullptr, nullptr);
    if (operation != nullptr) {
      pa_operation_unref(operation);
    }
  }
}

void uncork(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* userdata) {
  api->time_free(event);
  set_cork(*static_cast<Player*>(userdata), 0);
}

void cork(pa_mainloop_api* api, pa_time_event* event, const timeval*, void* userdata) {
  api->time_free(event);
  auto& player = *static_cast<Player*>(userdata);
  set_cork(player, 1);
  after(player, player.options.cork_ms, &uncork);
}

void stream_state(pa_stream* stream, void* userdata) {
  auto& player = *static_cast<Player*>(userdata);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    std::printf("stream %d sink-input %u\n", player.played, pa_stream_get_index(stream));
    std::fflush(stdout);
  } else if (state == PA_STREAM_FAILED) {
    player.fail("stream");
  }
}

void start_stream(Player& player) {
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(kRate), 2};
  player.stream = pa_stream_new(player.context, "test tone", &format, nullptr);
  if (player.stream == nullptr) {
    player.fail("new stream");
    return;
  }
  player.written = 0;
  player.draining = false;
  pa_stream_set_state_callback(player.stream, &stream_state, &player);
  pa_stream_set_write_callback(player.stream, &write_more, &player);
  const char* device = player.options.device.empty() ? nullptr : player.options.device.c_str();
  if (pa_stream_connect_playback(player.stream, device, nullptr, PA_STREAM_NOFLAGS, nullptr,
                                 nullptr) < 0) {
    player.fail("connect stream");
    return;
  }
  if (player.played == 0 && player.options.cork_after_ms >= 0) {
    after(player, player.options.cork_after_ms, &cork);
  }
}

void write_parallel(pa_stream* stream, std::size_t bytes, void* userdata) {
  auto& one = *static_cast<ParallelStream*>(userdata);
  const Player& player = *one.player;
  const std::uint64_t frames =
      std::min<std::uint64_t>(bytes / (2 * sizeof(float)), player.total - one.written);
  std::vector<float> samples(frames * 2);
  for (std::uint64_t i = 0; i < frames; ++i) {
    samples[i * 2] = samples[i * 2 + 1] = one.second[(one.written + i) % one.second.size()];
  }
  if (frames > 0) {
    (void)pa_stream_write(stream, samples.data(), frames * 2 * sizeof(float), nullptr, 0,
                          PA_SEEK_RELATIVE);
    one.written += frames;
  }
}

// --parallel: every stream at once, on small buffers; they play until the
// player is killed (or their audio ends). Their tones loop a second made
// once, so that many streams cost little.
void start_parallel(Player& player) {
  const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(kRate), 2};
  pa_buffer_attr attributes{};
  attributes.maxlength = static_cast<std::uint32_t>(-1);
  attributes.tlength = static_cast<std::uint32_t>(pa_usec_to_bytes(100'000, &format));
  attributes.prebuf = 0;  // playing at once (a stream could wait for its prebuffer for good)
  attributes.minreq = static_cast<std::uint32_t>(-1);
  attributes.fragsize = static_cast<std::uint32_t>(-1);
  player.parallel.resize(static_cast<std::size_t>(player.options.parallel));
  for (std::size_t k = 0; k < player.parallel.size(); ++k) {
    ParallelStream& one = player.parallel[k];
    one.player = &player;
    one.hz = player.options.hz + player.options.hz_step * static_cast<double>(k);
    one.second.resize(static_cast<std::size_t>(kRate));
    for (std::size_t i = 0; i < one.second.size(); ++i) {
      one.second[i] = static_cast<float>(
          player.options.level * std::sin(2 * kPi * one.hz * static_cast<double>(i) / kRate));
    }
    one.stream = pa_stream_new(player.context, "test tone", &format, nullptr);
    if (one.stream == nullptr) {
      player.fail("new stream");
      return;
    }
    pa_stream_set_write_callback(one.stream, &write_parallel, &one);
    const auto flags = player.options.corked ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS;
    const char* device = player.options.device.empty() ? nullptr : player.options.device.c_str();
    if (pa_stream_connect_playback(one.stream, device, &attributes, flags, nullptr, nullptr) < 0) {
      player.fail("connect stream");
      return;
    }
  }
  std::printf("streams %zu\n", player.parallel.size());
  std::fflush(stdout);
}

void context_state(pa_context* context, void* userdata) {
  auto& player = *static_cast<Player*>(userdata);
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY) {
    if (!player.options.gate.empty()) {
      std::ifstream gate(player.options.gate);
      std::string line;
      std::getline(gate, line);
    }
    if (player.options.parallel > 0) {
      start_parallel(player);
    } else {
      start_stream(player);
    }
  } else if ((state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) && !player.finished) {
    player.fail("connection");
  }
}

}  // namespace

int main(int argc, char** argv) {
  Player player;
  Options& options = player.options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "pulse-test-player: %s needs a value\n", arg.c_str());
      return 2;
    }
    const char* value = argv[++i];
    if (arg == "--streams") {
      options.streams = std::atoi(value);
    } else if (arg == "--ms") {
      options.ms = std::atof(value);
    } else if (arg == "--pause-ms") {
      options.pause_ms = std::atof(value);
    } else if (arg == "--hz") {
      options.hz = std::atof(value);
    } else if (arg == "--level") {
      options.level = std::atof(value);
    } else if (arg == "--on-ms") {
      options.on_ms = std::atof(value);
    } else if (arg == "--period-ms") {
      options.period_ms = std::atof(value);
    } else if (arg == "--lead-ms") {
      options.lead_ms = std::atof(value);
    } else if (arg == "--cork-after-ms") {
      options.cork_after_ms = std::atof(value);
    } else if (arg == "--cork-ms") {
      options.cork_ms = std::atof(value);
    } else if (arg == "--device") {
      options.device = value;
    } else if (arg == "--gate") {
      options.gate = value;
    } else if (arg == "--parallel") {
      options.parallel = std::atoi(value);
    } else if (arg == "--hz-step") {
      options.hz_step = std::atof(value);
    } else if (arg == "--corked") {
      options.corked = std::atoi(value) != 0;
    } else {
      std::fprintf(stderr, "pulse-test-player: unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  player.total = static_cast<std::uint64_t>(options.ms * kRate / 1000.0);
  player.loop = pa_mainloop_new();
  player.api = pa_mainloop_get_api(player.loop);
  player.context = pa_context_new(player.api, "pulse-test-player");
  pa_context_set_state_callback(player.context, &context_state, &player);
  if (pa_context_connect(player.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    player.fail("connect");
    return 1;
  }
  int result = 0;
  pa_mainloop_run(player.loop, &result);
  pa_context_disconnect(player.context);
  pa_context_unref(player.context);
  pa_mainloop_free(player.loop);
  return player.status != 0 ? player.status : result;
}
