// The Linux host's figures, each next to the peers that do the same job,
// measured in the same run on the same server (run under
// scripts/with-sound-server; scripts/bench-host runs it for both servers
// and then prints the side-by-side table with --report):
//
// - one stream: CPU time per second of captured audio and peak resident
//   memory of the host capturing one player, of `parec --monitor-stream` on
//   that player's stream and (PipeWire) of `pw-record` linked to the
//   player's node, all three recording at once;
// - onsets: the latency from each tone onset of a player of short bursts to
//   the onset's first sample in each reader's output, the onset being the
//   moment the tone reached the sink: when it arrives at a reference
//   recorder of the sink's monitor in this process (libpulse, 2 ms
//   fragments, the same monotonic clock), less that record stream's
//   latency as the server reports it;
// - 32 programs: the host in system mode with 32 players at once: CPU, peak
//   memory, memory growth, dropped frames, next to parec (and pw-record)
//   recording the sink's monitor (one recorder per player does not fit:
//   PulseAudio takes 64 clients at most);
// - start: the first PCM byte after starting, and a tone from a stream that
//   starts during the capture;
// - real desktops: 100 streams of 50 ms from one client (whole, cut short,
//   counted), the PCM against the clock after the host was stopped for a
//   second, --list with 500 streams, the server's CPU with and without the
//   host at 1, 8, 32 and 64 streams, the host's latency over a run in which
//   the server stalls three times, and gaps and onset latency under two CPU
//   hogs next to parec --monitor-stream on the same stream.
//
//   audio-host-bench [--results FILE] [--seconds N] [--onsets N] [--runs N]
//                    [--busy-seconds N] [--stall-seconds N]
//   audio-host-bench --report FILE...
//
// The ratios (host / peer) are what to compare across machines; nothing
// here is a pass or fail.
#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shared/owners.h"
#include "shared/processes.h"
#include "support/process.h"
#include "support/sound.h"
#include "support/statistics.h"

namespace {

using Clock = std::chrono::steady_clock;
using test_support::Child;
using test_support::Milliseconds;

constexpr Milliseconds kTimeout(20000);

struct Options {
  std::string results;
  double seconds = 20;  // CPU measurement of each case
  int onsets = 40;
  int runs = 5;                // first byte and new stream
  double busy_seconds = 300;   // under two CPU hogs
  double stall_seconds = 80;   // the run with three stalls of the server
  double load_seconds = 5;     // the server's CPU at each count of streams
  std::set<std::string> only;  // the cases to run (all when empty)
};

double now_ms() {
  return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// Nearest rank: with fewer than 100 values, the largest.
double percentile_99(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  if (values.empty()) {
    return 0;
  }
  const auto rank = static_cast<std::size_t>(std::ceil(0.99 * static_cast<double>(values.size())));
  return values[std::max<std::size_t>(rank, 1) - 1];
}

// ---- Processes ----------------------------------------------------------

// CPU time of a process in ms: the scheduler's run time of each of its live
// threads (/proc/PID/task/TID/sched, to the microsecond), else user + system
// time from /proc/PID/stat (in clock ticks).
double cpu_ms(pid_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  double total = 0;
  bool precise = false;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(base + "/task", error)) {
    std::ifstream sched(task.path() / "sched");
    for (std::string line; std::getline(sched, line);) {
      if (line.rfind("se.sum_exec_runtime", 0) == 0) {
        total += std::atof(line.substr(line.find(':') + 1).c_str());
        precise = true;
        break;
      }
    }
  }
  if (precise) {
    return total;
  }
  std::ifstream file(base + "/stat");
  std::string line;
  std::getline(file, line);
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) {
    return 0;
  }
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  unsigned long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) {
      ticks += std::stoull(field);
    }
  }
  return static_cast<double>(ticks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The scheduler's run time in ms of the thread of `pid` named `name`
// (the capture worker is "vantle-capture"), 0 when there is none.
double thread_cpu_ms(pid_t pid, const std::string& name) {
  std::error_code error;
  const std::string base = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(base, error)) {
    if (test_support::read_file((task.path() / "comm").string()) != name + "\n") {
      continue;
    }
    std::ifstream sched(task.path() / "sched");
    for (std::string line; std::getline(sched, line);) {
      if (line.rfind("se.sum_exec_runtime", 0) == 0) {
        return std::atof(line.substr(line.find(':') + 1).c_str());
      }
    }
  }
  return 0;
}

double peak_rss_mib(pid_t pid) {
  return static_cast<double>(test_support::status_number(pid, "VmHWM").value_or(0)) / 1024.0;
}

double rss_kib(pid_t pid) {
  return static_cast<double>(test_support::status_number(pid, "VmRSS").value_or(0));
}

// A process outside this program's tree (its parent exits at once), so that
// the host, whose parent this program is, may capture it; `command` runs
// under sh. Killed by its PID when it goes.
class Unrelated {
 public:
  explicit Unrelated(const std::string& command) {
    const auto out = test_support::command_output(
        {"sh", "-c", "sh -c '" + command + "' </dev/null >/dev/null 2>&1 & echo $!"});
    pid_ = out ? std::atoi(out->c_str()) : -1;
  }
  Unrelated(const Unrelated&) = delete;
  Unrelated& operator=(const Unrelated&) = delete;
  ~Unrelated() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
    }
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

std::string host_program() {
  return test_support::program_folder() + "audio-host";
}

std::vector<std::string> host_system() {
  return {host_program(), "--exclude-pids", std::to_string(getpid()), "--target", "system"};
}

std::vector<std::string> host_target(pid_t pid) {
  auto identity = audio_host::linux_host::read_process_identity(static_cast<std::uint32_t>(pid));
  if (!identity) {
    std::fprintf(stderr, "host-bench: %s\n", identity.error().c_str());
    std::exit(1);
  }
  return {host_program(),
          "--exclude-pids",
          std::to_string(getpid()),
          "--target",
          "pid:" + std::to_string(pid),
          "--expected-exe",
          identity.value().exe(),
          "--expected-start",
          std::to_string(identity.value().start_time())};
}

bool pipewire() {
  return test_support::sound_server_kind() == "pipewire";
}

// The peers record mono s16le at 48 kHz, with 10 ms fragments like the
// host's monitors.
std::vector<std::string> parec_monitor_stream(std::uint32_t stream) {
  return {"parec",        "--latency-msec=10", "--format=s16le",
          "--rate=48000", "--channels=1",      "--monitor-stream=" + std::to_string(stream)};
}

std::vector<std::string> parec_sink_monitor() {
  return {"parec", "--latency-msec=10", "--format=s16le", "--rate=48000", "--channels=1",
          "-d",    "ci.monitor"};
}

std::vector<std::string> pw_record(const std::string& target, bool sink_monitor) {
  std::vector<std::string> argv = {"pw-record", "--target",   target, "--latency",
                                   "10ms",      "--format",   "s16",  "--rate",
                                   "48000",     "--channels", "1"};
  if (sink_monitor) {
    argv.insert(argv.end(), {"-P", "stream.capture.sink=true"});
  }
  argv.push_back("-");
  return argv;
}

// The object.serial of the PipeWire node of `pid`'s playback stream (what
// pw-record's --target matches), waiting up to `timeout`.
std::optional<std::string> stream_node_serial(pid_t pid, Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    if (const auto text = test_support::command_output({"pw-dump"})) {
      const auto objects = nlohmann::json::parse(*text, nullptr, false);
      for (const auto& object : objects) {
        const auto props =
            object.value("info", nlohmann::json::object()).value("props", nlohmann::json::object());
        const auto text_of = [&](const char* key) {
          const auto found = props.find(key);
          if (found == props.end()) {
            return std::string();
          }
          return found->is_string() ? found->get<std::string>() : found->dump();
        };
        if (text_of("media.class") == "Stream/Output/Audio" &&
            text_of("application.process.id") == std::to_string(pid)) {
          return text_of("object.serial");
        }
      }
    }
    std::this_thread::sleep_for(Milliseconds(50));
  }
  return std::nullopt;
}

// ---- Readers ------------------------------------------------------------

// Onsets in mono s16le audio: the first sample above -20 dBFS after at
// least 100 ms of samples below -40 dBFS (samples in between, a tone's
// edges, neither break nor extend the quiet), stamped with the arrival time of the bytes
// that carried it.
class OnsetDetector {
 public:
  void feed(const char* bytes, std::size_t size, double arrived_ms) {
    for (std::size_t at = 0; at + 1 < size; at += 2) {
      const auto sample = static_cast<std::int16_t>(
          static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8));
      const int level = std::abs(static_cast<int>(sample));
      if (level > 3276) {
        if (quiet_ >= 4800) {
          onsets_.push_back(arrived_ms);
        }
        quiet_ = 0;
      } else if (level < 328) {
        ++quiet_;
      }  // between the two: a rising or falling edge, neither
    }
  }
  const std::vector<double>& onsets() const { return onsets_; }

 private:
  std::size_t quiet_ = 0;
  std::vector<double> onsets_;
};

// A program whose standard output is mono s16le PCM, with its onsets.
struct Reader {
  explicit Reader(std::string reader_name = "") : name(std::move(reader_name)) {}
  std::string name;
  Child child;
  std::size_t scanned = 0;
  OnsetDetector detector;

  void scan(double arrived_ms) {
    const std::string& out = child.out();
    const std::size_t end = out.size() & ~std::size_t{1};
    if (end > scanned) {
      detector.feed(out.data() + scanned, end - scanned, arrived_ms);
      scanned = end;
    }
  }
};

// How long after the reference's `onset` (ms on the monotonic clock) the
// reader's matching onset came: its first onset from 100 ms before to 300 ms
// after; nullopt when it has none there.
std::optional<double> onset_latency(const Reader& reader, double onset) {
  const auto& seen = reader.detector.onsets();
  const auto found = std::find_if(seen.begin(), seen.end(),
                                  [&](double at) { return at >= onset - 100 && at < onset + 300; });
  return found == seen.end() ? std::nullopt : std::optional(*found - onset);
}

// The reference clock of the onsets: a record stream on the sink's monitor
// with 2 ms fragments, run by a libpulse threaded main loop in this process.
// Each fragment is stamped when its read callback runs.
class SinkMonitorReference {
 public:
  SinkMonitorReference() = default;
  SinkMonitorReference(const SinkMonitorReference&) = delete;
  SinkMonitorReference& operator=(const SinkMonitorReference&) = delete;
  ~SinkMonitorReference() {
    if (!loop_) {
      return;
    }
    pa_threaded_mainloop_lock(loop_.get());
    if (stream_) {
      pa_stream_set_read_callback(stream_.get(), nullptr, nullptr);
      (void)pa_stream_disconnect(stream_.get());
      stream_.reset();
    }
    if (context_) {
      pa_context_disconnect(context_.get());
      context_.reset();
    }
    pa_threaded_mainloop_unlock(loop_.get());
    pa_threaded_mainloop_stop(loop_.get());
  }

  bool start(const char* source) {
    loop_.reset(pa_threaded_mainloop_new());
    if (!loop_) {
      return false;
    }
    context_.reset(pa_context_new(pa_threaded_mainloop_get_api(loop_.get()), "host-bench"));
    if (!context_ ||
        pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
        pa_threaded_mainloop_start(loop_.get()) < 0) {
      return false;
    }
    const auto deadline = Clock::now() + kTimeout;
    while (true) {
      pa_threaded_mainloop_lock(loop_.get());
      const pa_context_state_t state = pa_context_get_state(context_.get());
      pa_threaded_mainloop_unlock(loop_.get());
      if (state == PA_CONTEXT_READY) {
        break;
      }
      if (!PA_CONTEXT_IS_GOOD(state) || Clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(Milliseconds(5));
    }
    pa_threaded_mainloop_lock(loop_.get());
    const pa_sample_spec format{PA_SAMPLE_S16LE, 48000, 1};
    stream_.reset(pa_stream_new(context_.get(), "onset reference", &format, nullptr));
    bool connected = false;
    if (stream_) {
      pa_stream_set_read_callback(stream_.get(), &SinkMonitorReference::read, this);
      pa_buffer_attr attributes{};
      attributes.maxlength = static_cast<std::uint32_t>(-1);
      attributes.tlength = attributes.prebuf = attributes.minreq = static_cast<std::uint32_t>(-1);
      attributes.fragsize = 192;  // 2 ms
      connected = pa_stream_connect_record(
                      stream_.get(), source, &attributes,
                      static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY |
                                                     PA_STREAM_INTERPOLATE_TIMING |
                                                     PA_STREAM_AUTO_TIMING_UPDATE)) >= 0;
    }
    pa_threaded_mainloop_unlock(loop_.get());
    return connected;
  }

  // When each onset's fragment reached the sink's monitor: its arrival
  // here less the stream's latency at that moment.
  std::vector<double> onsets() {
    const std::lock_guard lock(mutex_);
    return onsets_;
  }
  // The reference's own latency as the server reports it, at each onset.
  std::vector<double> latencies_ms() {
    const std::lock_guard lock(mutex_);
    return latencies_;
  }

 private:
  static void read(pa_stream* stream, std::size_t, void* userdata) {
    auto* self = static_cast<SinkMonitorReference*>(userdata);
    const double arrived = now_ms();
    while (true) {
      const void* data = nullptr;
      std::size_t size = 0;
      if (pa_stream_peek(stream, &data, &size) < 0 || size == 0) {
        return;
      }
      if (data != nullptr) {
        const std::lock_guard lock(self->mutex_);
        const std::size_t before = self->detector_.onsets().size();
        self->detector_.feed(static_cast<const char*>(data), size, arrived);
        if (self->detector_.onsets().size() != before) {
          // The fragment's first sample was recorded `latency` before now.
          pa_usec_t latency = 0;
          int negative = 0;
          const double ms = pa_stream_get_latency(stream, &latency, &negative) == 0 && negative == 0
                                ? static_cast<double>(latency) / 1000
                                : 0.0;
          self->latencies_.push_back(ms);
          self->onsets_.push_back(arrived - ms);
        }
      }
      (void)pa_stream_drop(stream);
    }
  }

  audio_host::linux_host::UniquePointer<pa_threaded_mainloop, &pa_threaded_mainloop_free> loop_;
  audio_host::linux_host::UniquePointer<pa_context, &pa_context_unref> context_;
  audio_host::linux_host::UniquePointer<pa_stream, &pa_stream_unref> stream_;
  std::mutex mutex_;
  OnsetDetector detector_;
  std::vector<double> onsets_;
  std::vector<double> latencies_;
};

// Reads every reader's output for `ms`, scanning for onsets.
void pump(std::vector<Reader*>& readers, double ms) {
  const double until = now_ms() + ms;
  while (now_ms() < until) {
    for (Reader* reader : readers) {
      reader->child.pump(0);
      reader->scan(now_ms());
    }
    std::this_thread::sleep_for(Milliseconds(1));
  }
}

bool wait_for_bytes(std::vector<Reader*>& readers, std::size_t bytes) {
  const double until = now_ms() + static_cast<double>(kTimeout.count());
  while (now_ms() < until) {
    bool all = true;
    for (Reader* reader : readers) {
      reader->child.pump(0);
      reader->scan(now_ms());
      all = all && reader->child.out().size() >= bytes;
    }
    if (all) {
      return true;
    }
    std::this_thread::sleep_for(Milliseconds(1));
  }
  for (Reader* reader : readers) {
    if (reader->child.out().size() < bytes) {
      std::fprintf(stderr, "host-bench: %s gave no audio: %s\n", reader->name.c_str(),
                   reader->child.err().c_str());
    }
  }
  return false;
}

void stop(std::vector<Reader*>& readers) {
  for (Reader* reader : readers) {
    reader->child.signal(SIGTERM);
  }
  for (Reader* reader : readers) {
    (void)reader->child.wait(kTimeout);
  }
}

// ---- Results ------------------------------------------------------------

class Results {
 public:
  void set(const std::string& key, double value) {
    values_[key] = value;
    std::printf("  %-40s %10.2f\n", key.c_str(), value);
    std::fflush(stdout);
  }
  bool write(const std::string& path) const {
    std::ofstream file(path);
    file << "server " << test_support::sound_server_kind() << "\n";
    for (const auto& [key, value] : values_) {
      file << key << " " << value << "\n";
    }
    return static_cast<bool>(file);
  }

 private:
  std::map<std::string, double> values_;
};

// ---- The cases ----------------------------------------------------------

std::string tone_file(const test_support::TempFolder& folder, int hz, double volume,
                      double seconds) {
  const std::string path = folder.path() + "/tone-" + std::to_string(hz) + ".wav";
  (void)test_support::command_output({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", path,
                                      "synth", std::to_string(seconds), "sine", std::to_string(hz),
                                      "vol", std::to_string(volume)});
  return path;
}

// CPU over the same `seconds` for each reader (already recording), in ms
// per second of audio.
std::vector<double> cpu_per_second(std::vector<Reader*>& readers, double seconds) {
  std::vector<double> before;
  for (Reader* reader : readers) {
    before.push_back(cpu_ms(reader->child.pid()));
  }
  const double start = now_ms();
  pump(readers, seconds * 1000);
  const double elapsed = (now_ms() - start) / 1000;
  std::vector<double> result;
  for (std::size_t i = 0; i < readers.size(); ++i) {
    result.push_back((cpu_ms(readers[i]->child.pid()) - before[i]) / elapsed);
  }
  return result;
}

void one_stream(const Options& options, const test_support::TempFolder& folder, Results& results) {
  const Unrelated player("exec paplay " + tone_file(folder, 440, 0.5, options.seconds + 20));
  const auto stream = test_support::sink_input_of(player.pid(), kTimeout);
  if (!stream) {
    std::fprintf(stderr, "host-bench: the player's stream did not appear\n");
    std::exit(1);
  }
  Reader host("host");
  Reader parec("parec");
  Reader pw("pw-record");
  std::vector<Reader*> readers = {&host, &parec};
  host.child.start(host_target(player.pid()));
  parec.child.start(parec_monitor_stream(*stream));
  if (pipewire()) {
    const auto serial = stream_node_serial(player.pid(), kTimeout);
    if (serial) {
      pw.child.start(pw_record(*serial, false));
      readers.push_back(&pw);
    }
  }
  if (!wait_for_bytes(readers, 9600)) {
    std::exit(1);
  }
  pump(readers, 1000);
  const double worker_before = thread_cpu_ms(host.child.pid(), "vantle-capture");
  const double start = now_ms();
  const std::vector<double> cpu = cpu_per_second(readers, options.seconds);
  const double worker = (thread_cpu_ms(host.child.pid(), "vantle-capture") - worker_before) /
                        (now_ms() - start) * 1000;
  for (std::size_t i = 0; i < readers.size(); ++i) {
    results.set("one_stream.cpu." + readers[i]->name, cpu[i]);
    results.set("one_stream.rss." + readers[i]->name, peak_rss_mib(readers[i]->child.pid()));
  }
  // Of the host's CPU, what its capture worker thread takes (the rest is
  // the main loop: the monitor streams and the mixer).
  results.set("one_stream.cpu_worker.host", worker);
  stop(readers);
}

void onsets(const Options& options, const test_support::TempFolder& folder, Results& results) {
  // Bursts of 100 ms of 880 Hz every 400 ms, after 2 s of silence in which
  // every reader starts.
  const std::string bursts = folder.path() + "/bursts.wav";
  (void)test_support::command_output({"sox",  "-n",    "-r",     "48000",
                                      "-c",   "2",     "-b",     "16",
                                      bursts, "synth", "0.1",    "sine",
                                      "880",  "vol",   "0.5",    "pad",
                                      "0",    "0.3",   "repeat", std::to_string(options.onsets - 1),
                                      "pad",  "2",     "1"});
  SinkMonitorReference reference;
  if (!reference.start("ci.monitor")) {
    std::fprintf(stderr, "host-bench: the reference recorder did not start\n");
    std::exit(1);
  }
  const Unrelated player("exec paplay " + bursts);
  const auto stream = test_support::sink_input_of(player.pid(), kTimeout);
  if (!stream) {
    std::fprintf(stderr, "host-bench: the burst player's stream did not appear\n");
    std::exit(1);
  }
  Reader host("host");
  Reader parec("parec");
  Reader pw("pw-record");
  std::vector<Reader*> readers = {&host, &parec};
  host.child.start(host_target(player.pid()));
  parec.child.start(parec_monitor_stream(*stream));
  if (pipewire()) {
    if (const auto serial = stream_node_serial(player.pid(), kTimeout)) {
      pw.child.start(pw_record(*serial, false));
      readers.push_back(&pw);
    }
  }
  if (!wait_for_bytes(readers, 1920)) {
    std::exit(1);
  }
  const double ready = now_ms() + 100;
  pump(readers, options.onsets * 400.0 + 2500);
  for (Reader* reader : readers) {
    results.set("onset.rss." + reader->name, peak_rss_mib(reader->child.pid()));
  }
  stop(readers);

  const std::vector<double> clock = reference.onsets();
  for (Reader* reader : readers) {
    std::vector<double> latencies;
    int missed = 0;
    for (const double onset : clock) {
      if (onset < ready) {
        continue;
      }
      if (const auto latency = onset_latency(*reader, onset)) {
        latencies.push_back(*latency);
      } else {
        ++missed;
      }
    }
    results.set("onset.count." + reader->name, static_cast<double>(latencies.size()));
    results.set("onset.missed." + reader->name, missed);
    results.set("onset.median." + reader->name, median(latencies));
    results.set("onset.p99." + reader->name, percentile_99(latencies));
  }
  results.set("onset.reference_latency", median(reference.latencies_ms()));
}

void many_programs(const Options& options, const test_support::TempFolder& folder,
                   Results& results) {
  constexpr int kPrograms = 32;
  std::vector<std::unique_ptr<Unrelated>> players;
  for (int i = 0; i < kPrograms; ++i) {
    players.push_back(std::make_unique<Unrelated>(
        "exec paplay " + tone_file(folder, 300 + 37 * i, 0.02, options.seconds + 25)));
  }
  for (const auto& player : players) {
    if (!test_support::sink_input_of(player->pid(), kTimeout)) {
      std::fprintf(stderr, "host-bench: a player's stream did not appear\n");
      std::exit(1);
    }
  }
  Reader host("host");
  Reader parec("parec");
  Reader pw("pw-record");
  std::vector<Reader*> readers = {&host, &parec};
  test_support::SpawnOptions diagnostics;
  diagnostics.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  host.child.start(host_system(), diagnostics);
  parec.child.start(parec_sink_monitor());
  if (pipewire()) {
    pw.child.start(pw_record("ci", true));
    readers.push_back(&pw);
  }
  if (!wait_for_bytes(readers, 9600)) {
    std::exit(1);
  }
  pump(readers, 2000);
  // Memory after the start, then CPU over `seconds`, then memory again.
  const double rss_start = rss_kib(host.child.pid());
  const std::vector<double> cpu = cpu_per_second(readers, options.seconds);
  const double rss_end = rss_kib(host.child.pid());
  for (std::size_t i = 0; i < readers.size(); ++i) {
    results.set("programs.cpu." + readers[i]->name, cpu[i]);
    results.set("programs.rss." + readers[i]->name, peak_rss_mib(readers[i]->child.pid()));
  }
  results.set("programs.rss_growth_kib.host", rss_end - rss_start);
  stop(readers);
  const auto statistics = test_support::last_statistics(host.child.err());
  results.set("programs.dropped.host", statistics ? statistics->dropped_frames : -1.0);
  results.set("programs.discontinuities.host", statistics ? statistics->discontinuities : -1.0);
  // The mix is there: the host's last second is not silence.
  const std::string& pcm = host.child.out();
  double sum = 0;
  const std::size_t from = pcm.size() > 96000 ? pcm.size() - 96000 : 0;
  for (std::size_t at = from; at + 1 < pcm.size(); at += 2) {
    const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(pcm[at]) |
                                                  (static_cast<unsigned char>(pcm[at + 1]) << 8));
    sum += static_cast<double>(sample) * sample;
  }
  results.set("programs.rms_dbfs.host", 10 * std::log10(sum / 48000 / (32768.0 * 32768.0) + 1e-12));
}

double first_byte_ms(const std::vector<std::string>& argv) {
  Child child;
  const auto start = Clock::now();
  child.start(argv);
  child.wait_for_out_bytes(1, kTimeout);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  child.signal(SIGTERM);
  (void)child.wait(kTimeout);
  return ms;
}

// From telling a waiting player to play to the first loud sample in the
// host's output (the host notices the new stream and opens its monitor) and
// in parec's recording of the sink's monitor, which already runs.
void new_stream(const test_support::TempFolder& folder, double* host_ms, double* parec_ms) {
  const std::string fifo = folder.path() + "/go";
  ::unlink(fifo.c_str());
  mkfifo(fifo.c_str(), 0600);
  const Unrelated player("read x < " + fifo + "; exec paplay " + test_support::Tones::file(440));
  Reader host("host");
  Reader parec("parec");
  std::vector<Reader*> readers = {&host, &parec};
  host.child.start(host_target(player.pid()));
  parec.child.start(parec_sink_monitor());
  if (!wait_for_bytes(readers, 48000)) {
    std::exit(1);
  }
  pump(readers, 100);
  const int go = open(fifo.c_str(), O_WRONLY);
  const double start = now_ms();
  (void)write(go, "\n", 1);
  close(go);
  while (now_ms() - start < 5000 &&
         (host.detector.onsets().empty() || parec.detector.onsets().empty())) {
    pump(readers, 1);
  }
  *host_ms = host.detector.onsets().empty() ? -1 : host.detector.onsets().front() - start;
  *parec_ms = parec.detector.onsets().empty() ? -1 : parec.detector.onsets().front() - start;
  stop(readers);
}

void start_figures(const Options& options, const test_support::TempFolder& folder,
                   Results& results) {
  std::vector<double> host_first;
  std::vector<double> parec_first;
  std::vector<double> host_new;
  std::vector<double> parec_new;
  for (int i = 0; i < options.runs; ++i) {
    host_first.push_back(first_byte_ms(host_system()));
    parec_first.push_back(first_byte_ms(parec_sink_monitor()));
    double host_ms = 0;
    double parec_ms = 0;
    new_stream(folder, &host_ms, &parec_ms);
    host_new.push_back(host_ms);
    parec_new.push_back(parec_ms);
  }
  results.set("start.first_byte.host", median(host_first));
  results.set("start.first_byte.parec", median(parec_first));
  results.set("start.new_stream.host", median(host_new));
  results.set("start.new_stream.parec", median(parec_new));
}

// ---- Real desktops -------------------------------------------------------

std::string test_player() {
  return test_support::program_folder() + "pulse-test-player";
}

pid_t server_pid() {
  const char* pid = std::getenv("VANTLE_TEST_SOUND_SERVER_PID");
  return pid != nullptr ? static_cast<pid_t>(std::atoi(pid)) : -1;
}

// Gaps in a tone: runs of at least 0.5 ms below -40 dBFS between samples
// above -20 dBFS, shorter than 60 ms (the quiet between the player's beeps
// is 100 ms).
int count_gaps(const std::string& pcm) {
  int gaps = 0;
  std::size_t quiet = 0;
  bool after_loud = false;
  for (std::size_t at = 0; at + 1 < pcm.size(); at += 2) {
    const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(pcm[at]) |
                                                  (static_cast<unsigned char>(pcm[at + 1]) << 8));
    const int level = std::abs(static_cast<int>(sample));
    if (level > 3276) {
      if (after_loud && quiet >= 24 && quiet < 2880) {
        ++gaps;
      }
      after_loud = true;
      quiet = 0;
    } else if (level < 328) {
      ++quiet;
    }
  }
  return gaps;
}

// Onset latencies of each reader against the reference, over the onsets
// after `ready` (ms on the monotonic clock).
std::vector<std::vector<double>> onset_latencies(const std::vector<double>& clock,
                                                 const std::vector<Reader*>& readers,
                                                 double ready) {
  std::vector<std::vector<double>> latencies(readers.size());
  for (const double onset : clock) {
    if (onset < ready) {
      continue;
    }
    for (std::size_t i = 0; i < readers.size(); ++i) {
      if (const auto latency = onset_latency(*readers[i], onset)) {
        latencies[i].push_back(*latency);
      }
    }
  }
  return latencies;
}

// Beeps of 300 ms every 400 ms (onsets, and a tone long enough to show
// gaps) from a player outside this program's tree, the host capturing it
// next to parec --monitor-stream on its stream and the reference recorder
// of the sink's monitor. `during(elapsed_s)` runs while they read.
struct BeepRun {
  std::vector<double> clock;  // the reference's onsets
  double ready = 0;
  double started = 0;
};

template <class During>
BeepRun beep_run(double seconds, Reader& host, Reader& parec, During during) {
  BeepRun run;
  SinkMonitorReference reference;
  if (!reference.start("ci.monitor")) {
    std::fprintf(stderr, "host-bench: the reference recorder did not start\n");
    std::exit(1);
  }
  const Unrelated player("exec " + test_player() + " --ms " +
                         std::to_string(static_cast<int>((seconds + 5) * 1000)) +
                         " --on-ms 300 --period-ms 400 --hz 880 --lead-ms 1000");
  const auto stream = test_support::sink_input_of(player.pid(), kTimeout);
  if (!stream) {
    std::fprintf(stderr, "host-bench: the beep player's stream did not appear\n");
    std::exit(1);
  }
  std::vector<Reader*> readers = {&host, &parec};
  test_support::SpawnOptions diagnostics;
  diagnostics.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  host.child.start(host_target(player.pid()), diagnostics);
  parec.child.start(parec_monitor_stream(*stream));
  if (!wait_for_bytes(readers, 1920)) {
    std::exit(1);
  }
  run.ready = now_ms() + 100;
  run.started = now_ms();
  while (now_ms() - run.started < seconds * 1000) {
    pump(readers, 100);
    during((now_ms() - run.started) / 1000);
  }
  stop(readers);
  run.clock = reference.onsets();
  return run;
}

// Under two CPU hogs: gaps in the host's PCM and in parec's recording of
// the same stream, and onset-to-PCM latency (median and p99) of both.
void busy(const Options& options, Results& results) {
  Child hogs[2];
  for (Child& hog : hogs) {
    test_support::SpawnOptions quiet;
    quiet.capture_output = false;
    hog.start({"sh", "-c", "while :; do :; done"}, quiet);
  }
  Reader host("host");
  Reader parec("parec");
  const BeepRun run = beep_run(options.busy_seconds, host, parec, [](double) {});
  for (Child& hog : hogs) {
    hog.signal(SIGKILL);
  }
  const auto latencies = onset_latencies(run.clock, {&host, &parec}, run.ready);
  const Reader* readers[] = {&host, &parec};
  for (std::size_t i = 0; i < 2; ++i) {
    const std::string name = readers[i]->name;
    results.set("busy.gaps." + name, count_gaps(readers[i]->child.out()));
    results.set("busy.onsets." + name, static_cast<double>(latencies[i].size()));
    results.set("busy.onset.median." + name, median(latencies[i]));
    results.set("busy.onset.p99." + name, percentile_99(latencies[i]));
  }
  const auto statistics = test_support::last_statistics(host.child.err());
  results.set("busy.discontinuities.host", statistics ? statistics->discontinuities : -1.0);
  results.set("busy.dropped.host", statistics ? statistics->dropped_frames : -1.0);
}

// The host's latency over a run in which the server stalls three times
// (SIGSTOP for 300 ms): onset to PCM, the median of each 5 s.
void stalls(const Options& options, Results& results) {
  const pid_t server = server_pid();
  const double at[] = {options.stall_seconds * 0.2, options.stall_seconds * 0.45,
                       options.stall_seconds * 0.7};
  std::size_t next = 0;
  Reader host("host");
  Reader parec("parec");
  const BeepRun run = beep_run(options.stall_seconds, host, parec, [&](double elapsed) {
    if (next < 3 && elapsed >= at[next] && server > 0) {
      ::kill(server, SIGSTOP);
      std::this_thread::sleep_for(Milliseconds(300));
      ::kill(server, SIGCONT);
      ++next;
    }
  });
  // The host's path, and parec's on the same stream: what both show is the
  // server's and the player's, not the host's.
  for (const auto& [reader, prefix] :
       {std::pair{&host, "stalls.path."}, std::pair{&parec, "stalls.parec_path."}}) {
    std::map<int, std::vector<double>> bins;
    for (const double onset : run.clock) {
      if (onset < run.ready) {
        continue;
      }
      if (const auto latency = onset_latency(*reader, onset)) {
        bins[static_cast<int>((onset - run.started) / 5000) * 5].push_back(*latency);
      }
    }
    for (const auto& [second, latencies] : bins) {
      results.set(prefix + std::to_string(second), median(latencies));
    }
  }
  for (int i = 0; i < 3; ++i) {
    results.set("stalls.at." + std::to_string(i), at[i]);
  }
}

// The indexes of the server's playback streams.
std::vector<std::uint32_t> playback_streams() {
  std::vector<std::uint32_t> indexes;
  const auto out = test_support::command_output({"pactl", "list", "short", "sink-inputs"});
  std::istringstream lines(out.value_or(""));
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) {
      indexes.push_back(static_cast<std::uint32_t>(std::strtoul(line.c_str(), nullptr, 10)));
    }
  }
  return indexes;
}

// The server's CPU over `seconds` while `readers` read (none: idle wait).
double server_cpu(pid_t server, std::vector<Reader*>& readers, double seconds) {
  const double before = cpu_ms(server);
  const double start = now_ms();
  if (readers.empty()) {
    std::this_thread::sleep_for(Milliseconds(static_cast<int>(seconds * 1000)));
  } else {
    pump(readers, seconds * 1000);
  }
  return (cpu_ms(server) - before) / ((now_ms() - start) / 1000);
}

// The server's own CPU at 1, 8, 32 and 64 playing streams (on two sinks
// beyond 32): without a recorder, with the host (system mode), and with
// parec --monitor-stream on each stream (the peer doing the same job). Two
// kinds of players: ones that leave the sink's latency to the server (the
// test player, four streams each: the sink renders far ahead when nobody
// records) and ones that ask for 20 ms, as browsers and games do (paplay
// --latency-msec=20, one each).
void server_load(const Options& options, const test_support::TempFolder& folder, Results& results) {
  const pid_t server = server_pid();
  if (server <= 0) {
    return;
  }
  const std::string tone = tone_file(folder, 523, 0.012, 40);  // a case lasts about 20 s
  for (const bool low_latency : {false, true}) {
    for (const int streams : {1, 8, 32, 64}) {
      std::vector<std::unique_ptr<Unrelated>> players;
      const int each = low_latency ? 1 : std::min(streams, 4);
      for (int p = 0; p < streams / each; ++p) {
        const std::string sink = streams > 32 && p >= streams / each / 2 ? "ci-other" : "ci";
        players.push_back(std::make_unique<Unrelated>(
            low_latency ? "exec paplay --latency-msec=20 -d " + sink + " " + tone
                        : "exec " + test_player() + " --parallel " + std::to_string(each) +
                              " --ms 600000 --level 0.012 --hz " + std::to_string(300 + 148 * p) +
                              " --device " + sink));
      }
      std::this_thread::sleep_for(Milliseconds(2000));
      std::vector<Reader*> none;
      const double without = server_cpu(server, none, options.load_seconds);

      Reader host("host");
      test_support::SpawnOptions diagnostics;
      diagnostics.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
      host.child.start(host_system(), diagnostics);
      std::vector<Reader*> readers = {&host};
      pump(readers, 2000);
      const double host_cpu = cpu_per_second(readers, options.load_seconds)[0];
      const double with = server_cpu(server, readers, options.load_seconds);
      stop(readers);

      std::vector<std::unique_ptr<Reader>> parecs;
      std::vector<Reader*> parec_readers;
      for (const std::uint32_t stream : playback_streams()) {
        parecs.push_back(std::make_unique<Reader>("parec"));
        parecs.back()->child.start(parec_monitor_stream(stream));
        parec_readers.push_back(parecs.back().get());
      }
      pump(parec_readers, 2000);
      const double with_parec = server_cpu(server, parec_readers, options.load_seconds);
      stop(parec_readers);

      const std::string key = (low_latency ? "low." : "") + std::to_string(streams);
      results.set("load.server_without." + key, without);
      results.set("load.server_with." + key, with);
      results.set("load.server_parec." + key, with_parec);
      results.set("load.host." + key, host_cpu);
      results.set("load.server_alive." + key, ::kill(server, 0) == 0 ? 1 : 0);
    }
  }
}

// The PCM against the clock after the host was stopped for a second
// (SIGSTOP): frames behind, least over 1.5 s before and after.
void stalled_host(Results& results) {
  const Unrelated player("exec paplay " + test_support::Tones::file(440));
  if (!test_support::sink_input_of(player.pid(), kTimeout)) {
    std::exit(1);
  }
  Reader host("host");
  std::vector<Reader*> readers = {&host};
  host.child.start(host_target(player.pid()));
  if (!wait_for_bytes(readers, 96000)) {
    std::exit(1);
  }
  const double start = now_ms();
  const auto least_lag = [&](double ms) {
    double least = 1e12;
    const double until = now_ms() + ms;
    while (now_ms() < until) {
      host.child.pump(2);
      least = std::min(least,
                       (now_ms() - start) * 48 - static_cast<double>(host.child.out().size() / 2));
    }
    return least;
  };
  const double before = least_lag(1500);
  ::kill(host.child.pid(), SIGSTOP);
  std::this_thread::sleep_for(Milliseconds(1000));
  ::kill(host.child.pid(), SIGCONT);
  (void)least_lag(500);
  const double after = least_lag(1500);
  stop(readers);
  results.set("stall.frames_behind_after", after - before);
}

// 100 streams of 50 ms from one client, each a tone from its first sample:
// how many the host has whole, cut short or not at all, and what it
// counted; parec on the sink's monitor for the same.
void short_streams(Results& results) {
  Reader host("host");
  Reader parec("parec");
  std::vector<Reader*> readers = {&host, &parec};
  test_support::SpawnOptions diagnostics;
  diagnostics.environment = {"VANTLE_AUDIO_DIAGNOSTICS="};
  host.child.start(host_system(), diagnostics);
  parec.child.start(parec_sink_monitor());
  if (!wait_for_bytes(readers, 48000)) {
    std::exit(1);
  }
  const std::size_t host_from = host.child.out().size();
  const std::size_t parec_from = parec.child.out().size();
  // Outside this program's tree (the host leaves its translator's out).
  const Unrelated player("exec " + test_player() +
                         " --streams 100 --ms 50 --pause-ms 100 --hz 880");
  const double until = now_ms() + 120'000;
  while (::kill(player.pid(), 0) == 0 && now_ms() < until) {
    pump(readers, 50);
  }
  pump(readers, 1500);
  stop(readers);
  const auto whole_and_cut = [](const std::string& pcm, std::size_t from, int* cut) {
    // Tone stretches: above -20 dBFS, 10 ms of quiet ends one.
    int whole = 0;
    *cut = 0;
    std::size_t first = 0;
    std::size_t last = 0;
    bool open = false;
    const auto close = [&] {
      if (open) {
        (last - first >= 47 * 48 ? whole : *cut) += 1;
      }
    };
    for (std::size_t at = from & ~std::size_t{1}; at + 1 < pcm.size(); at += 2) {
      const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(pcm[at]) |
                                                    (static_cast<unsigned char>(pcm[at + 1]) << 8));
      if (std::abs(static_cast<int>(sample)) > 3276) {
        const std::size_t frame = at / 2;
        if (!open || frame - last > 480) {
          close();
          first = frame;
          open = true;
        }
        last = frame;
      }
    }
    close();
    return whole;
  };
  int cut = 0;
  results.set("short.whole.host", whole_and_cut(host.child.out(), host_from, &cut));
  results.set("short.cut.host", cut);
  results.set("short.whole.parec", whole_and_cut(parec.child.out(), parec_from, &cut));
  results.set("short.cut.parec", cut);
  const auto statistics = test_support::last_statistics(host.child.err());
  results.set("short.counted_ms.host", statistics ? statistics->dropped_frames / 48.0 : -1.0);
}

// --list with 500 playback streams (corked, two clients on two sinks:
// PulseAudio takes 256 a sink): the median of 5.
void listing_500(Results& results) {
  const Unrelated first("exec " + test_player() + " --parallel 250 --corked 1 --ms 600000");
  const Unrelated second("exec " + test_player() +
                         " --parallel 250 --corked 1 --ms 600000 --device ci-other");
  std::this_thread::sleep_for(Milliseconds(3000));
  std::vector<double> times;
  for (int i = 0; i < 5; ++i) {
    Child host;
    const double start = now_ms();
    host.start({host_program(), "--list"});
    (void)host.wait(kTimeout);
    times.push_back(now_ms() - start);
  }
  results.set("list.500.host", median(times));
}

// ---- The side-by-side table ----------------------------------------------

struct Row {
  std::string what;
  std::string unit;
  std::string host_key;
  std::string peer;  // the peer's name in the table, empty for none
  std::string peer_key;
};

// The rows up to the server-load figures.
const Row kRows[] = {
    {"one stream: CPU per second of audio", "ms/s", "one_stream.cpu.host", "parec --monitor-stream",
     "one_stream.cpu.parec"},
    {"one stream: CPU per second of audio", "ms/s", "one_stream.cpu.host", "pw-record (node)",
     "one_stream.cpu.pw-record"},
    {"one stream: of it, the capture worker", "ms/s", "one_stream.cpu_worker.host", "", ""},
    {"one stream: peak RSS", "MiB", "one_stream.rss.host", "parec --monitor-stream",
     "one_stream.rss.parec"},
    {"one stream: peak RSS", "MiB", "one_stream.rss.host", "pw-record (node)",
     "one_stream.rss.pw-record"},
    {"tone onset to PCM, median", "ms", "onset.median.host", "parec --monitor-stream",
     "onset.median.parec"},
    {"tone onset to PCM, p99", "ms", "onset.p99.host", "parec --monitor-stream", "onset.p99.parec"},
    {"tone onset to PCM, median", "ms", "onset.median.host", "pw-record (node)",
     "onset.median.pw-record"},
    {"tone onset to PCM, p99", "ms", "onset.p99.host", "pw-record (node)", "onset.p99.pw-record"},
    {"onsets: peak RSS", "MiB", "onset.rss.host", "parec --monitor-stream", "onset.rss.parec"},
    {"32 programs: CPU per second of audio", "ms/s", "programs.cpu.host", "parec (sink monitor)",
     "programs.cpu.parec"},
    {"32 programs: CPU per second of audio", "ms/s", "programs.cpu.host",
     "pw-record (sink monitor)", "programs.cpu.pw-record"},
    {"32 programs: peak RSS", "MiB", "programs.rss.host", "parec (sink monitor)",
     "programs.rss.parec"},
    {"32 programs: RSS growth over the run", "KiB", "programs.rss_growth_kib.host", "", ""},
    {"32 programs: dropped frames", "frames", "programs.dropped.host", "", ""},
    {"32 programs: discontinuities", "", "programs.discontinuities.host", "", ""},
    {"first PCM byte after start", "ms", "start.first_byte.host", "parec (sink monitor)",
     "start.first_byte.parec"},
    {"new stream: play to first PCM sample", "ms", "start.new_stream.host", "parec (sink monitor)",
     "start.new_stream.parec"},
    {"two CPU hogs: gaps in the tone", "", "busy.gaps.host", "parec --monitor-stream",
     "busy.gaps.parec"},
    {"two CPU hogs: tone onset to PCM, median", "ms", "busy.onset.median.host",
     "parec --monitor-stream", "busy.onset.median.parec"},
    {"two CPU hogs: tone onset to PCM, p99", "ms", "busy.onset.p99.host", "parec --monitor-stream",
     "busy.onset.p99.parec"},
    {"two CPU hogs: discontinuities", "", "busy.discontinuities.host", "", ""},
    {"host stopped 1 s: frames further behind the clock", "frames", "stall.frames_behind_after", "",
     ""},
    {"100 streams of 50 ms: whole", "", "short.whole.host", "parec (sink monitor)",
     "short.whole.parec"},
    {"100 streams of 50 ms: cut short", "", "short.cut.host", "parec (sink monitor)",
     "short.cut.parec"},
    {"100 streams of 50 ms: counted lost", "ms", "short.counted_ms.host", "", ""},
};

// kRows, then the server's CPU with the host next to each other recorder,
// for each kind of player and count of streams, then the host's own.
std::vector<Row> table_rows() {
  std::vector<Row> rows(std::begin(kRows), std::end(kRows));
  for (const bool low_latency : {false, true}) {
    for (const int streams : {1, 8, 32, 64}) {
      const std::string key = (low_latency ? "low." : "") + std::to_string(streams);
      const std::string what = "server CPU, " + std::to_string(streams) +
                               (streams == 1 ? " stream" : " streams") +
                               (low_latency ? ", players at 20 ms" : "") + ": with host";
      rows.push_back(
          {what, "ms/s", "load.server_with." + key, "no recorder", "load.server_without." + key});
      rows.push_back({what, "ms/s", "load.server_with." + key, "parec --monitor-stream each",
                      "load.server_parec." + key});
    }
  }
  rows.push_back({"host CPU, 64 streams, system mode", "ms/s", "load.host.64", "", ""});
  rows.push_back({"--list with 500 playback streams", "ms", "list.500.host", "", ""});
  return rows;
}

std::map<std::string, std::string> read_results(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream file(path);
  for (std::string key, value; file >> key >> value;) {
    values[key] = value;
  }
  return values;
}

int report(const std::vector<std::string>& paths) {
  std::vector<std::map<std::string, std::string>> servers;
  for (const std::string& path : paths) {
    servers.push_back(read_results(path));
  }
  std::string header = "| measure | unit | peer |";
  std::string rule = "| --- | --- | --- |";
  for (const auto& server : servers) {
    const auto kind = server.count("server") != 0 ? server.at("server") : "?";
    header += " " + kind + ": host | peer | host/peer (onsets: host - peer) |";
    rule += " ---: | ---: | ---: |";
  }
  std::printf("\n%s\n%s\n", header.c_str(), rule.c_str());
  const auto number = [](const std::map<std::string, std::string>& values,
                         const std::string& key) -> std::optional<double> {
    const auto found = values.find(key);
    return found == values.end() ? std::nullopt : std::optional(std::atof(found->second.c_str()));
  };
  const auto cell = [](std::optional<double> value) {
    if (!value) {
      return std::string("-");
    }
    char text[32];
    std::snprintf(text, sizeof text, std::fabs(*value) >= 100 ? "%.0f" : "%.1f", *value);
    return std::string(text);
  };
  for (const Row& row : table_rows()) {
    bool any = false;
    std::string line =
        "| " + row.what + " | " + row.unit + " | " + (row.peer.empty() ? "-" : row.peer) + " |";
    for (const auto& server : servers) {
      const auto host = number(server, row.host_key);
      const auto peer = number(server, row.peer_key);
      any = any || (host && (row.peer_key.empty() || peer));
      // Latencies of a peer that reads the monitor as the reference does
      // are close to 0: their difference says more than their ratio.
      std::string ratio = "-";
      char text[32];
      if (host && peer && row.what.rfind("tone onset", 0) == 0) {
        std::snprintf(text, sizeof text, "%+.1f ms", *host - *peer);
        ratio = text;
      } else if (host && peer && *peer > 0) {
        std::snprintf(text, sizeof text, "%.2f", *host / *peer);
        ratio = text;
      }
      for (const std::string& part : {cell(host), cell(peer), ratio}) {
        line.append(" ").append(part).append(" |");
      }
    }
    if (any) {
      std::printf("%s\n", line.c_str());
    }
  }
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const auto count = number(servers[i], "onset.count.host");
    const auto reference = number(servers[i], "onset.reference_latency");
    std::printf(
        "\n%s: %s onsets per reader (missed: host %s, parec %s); the reference recorder's "
        "own latency as the server reports it: %s ms\n",
        servers[i].count("server") != 0 ? servers[i].at("server").c_str() : "?",
        cell(count).c_str(), cell(number(servers[i], "onset.missed.host")).c_str(),
        cell(number(servers[i], "onset.missed.parec")).c_str(), cell(reference).c_str());
    for (const auto& [prefix, who] :
         {std::pair{"stalls.path.", "host"}, std::pair{"stalls.parec_path.", "parec"}}) {
      std::string path;
      for (const auto& [key, value] : servers[i]) {
        if (key.rfind(prefix, 0) == 0) {
          path += " " + key.substr(std::strlen(prefix)) + "s:" + cell(std::atof(value.c_str()));
        }
      }
      if (!path.empty()) {
        std::printf(
            "%s, %s: onset to PCM (ms), the median of each 5 s, the server stopped 300 ms at "
            "%s, %s and %s s:%s\n",
            servers[i].count("server") != 0 ? servers[i].at("server").c_str() : "?", who,
            cell(number(servers[i], "stalls.at.0")).c_str(),
            cell(number(servers[i], "stalls.at.1")).c_str(),
            cell(number(servers[i], "stalls.at.2")).c_str(), path.c_str());
      }
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::vector<std::string> report_paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--report") {
      report_paths.assign(argv + i + 1, argv + argc);
      return report(report_paths);
    }
    if (arg == "--results" && has_value) {
      options.results = argv[++i];
    } else if (arg == "--seconds" && has_value) {
      options.seconds = std::atof(argv[++i]);
    } else if (arg == "--onsets" && has_value) {
      options.onsets = std::max(20, std::atoi(argv[++i]));
    } else if (arg == "--runs" && has_value) {
      options.runs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--busy-seconds" && has_value) {
      options.busy_seconds = std::atof(argv[++i]);
    } else if (arg == "--stall-seconds" && has_value) {
      options.stall_seconds = std::atof(argv[++i]);
    } else if (arg == "--only" && has_value) {
      std::stringstream names(argv[++i]);
      for (std::string name; std::getline(names, name, ',');) {
        options.only.insert(name);
      }
    } else {
      std::fprintf(stderr,
                   "usage: audio-host-bench [--results FILE] [--seconds N] [--onsets N] "
                   "[--runs N] [--busy-seconds N] [--stall-seconds N]\n"
                   "                       [--only one-stream,onsets,many,start,short,\n"
                   "                               stalled-host,list,load,stalls,busy]\n"
                   "       audio-host-bench --report FILE...\n");
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  test_support::TempFolder folder;
  Results results;
  // The cases in the order they run, each with the line that announces it.
  struct Case {
    const char* name;
    std::function<void()> run;
  };
  const Case cases[] = {
      {"one-stream",
       [&] {
         std::printf("one stream (%.0f s)\n", options.seconds);
         one_stream(options, folder, results);
       }},
      {"onsets",
       [&] {
         std::printf("%d tone onsets\n", options.onsets);
         onsets(options, folder, results);
       }},
      {"many",
       [&] {
         std::printf("32 programs, system mode (%.0f s)\n", options.seconds);
         many_programs(options, folder, results);
       }},
      {"start",
       [&] {
         std::printf("start (%d runs)\n", options.runs);
         start_figures(options, folder, results);
       }},
      {"short",
       [&] {
         std::printf("100 short streams from one client\n");
         short_streams(results);
       }},
      {"stalled-host",
       [&] {
         std::printf("the host stopped for a second\n");
         stalled_host(results);
       }},
      {"list",
       [&] {
         std::printf("--list with 500 streams\n");
         listing_500(results);
       }},
      {"load",
       [&] {
         std::printf("the server's CPU with and without the host (%.0f s each)\n",
                     options.load_seconds);
         server_load(options, folder, results);
       }},
      {"stalls",
       [&] {
         std::printf("three stalls of the server (%.0f s)\n", options.stall_seconds);
         stalls(options, results);
       }},
      {"busy",
       [&] {
         std::printf("two CPU hogs (%.0f s)\n", options.busy_seconds);
         busy(options, results);
       }},
  };
  for (const std::string& name : options.only) {
    if (std::none_of(std::begin(cases), std::end(cases),
                     [&](const Case& c) { return name == c.name; })) {
      std::fprintf(stderr, "host-bench: no case named %s\n", name.c_str());
      return 2;
    }
  }
  std::printf("Linux host against %s\n", test_support::sound_server_kind().c_str());
  for (const Case& c : cases) {
    if (options.only.empty() || options.only.count(c.name) != 0) {
      c.run();
    }
  }
  if (!options.results.empty() && !results.write(options.results)) {
    std::fprintf(stderr, "host-bench: cannot write %s\n", options.results.c_str());
    return 1;
  }
  return 0;
}
