// The Linux host's figures, each side by side with parec, the sound
// server's own recording client, measured in the same run on the same
// server (run under scripts/with-sound-server; scripts/bench-host does):
//
// - first PCM byte: from starting the program to the first byte on its
//   standard output (the host capturing the whole system; parec recording
//   the default sink's monitor);
// - tone onset: from the moment a waiting player is told to play to the
//   first loud sample in the output (the host capturing the player's tree;
//   parec recording the sink's monitor with 10 ms fragments);
// - CPU per second of capture: user + system time over 10 s of capturing
//   one playing stream (the host; parec --monitor-stream on that stream).
//
// Medians over several runs; the ratios are what to compare across
// machines.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "native/processes.h"
#include "support/process.h"
#include "support/sound.h"

namespace {

using Clock = std::chrono::steady_clock;
using test_support::Child;
using test_support::Milliseconds;

constexpr Milliseconds kTimeout(20000);

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

std::vector<std::string> parec_arguments() {
  return {"parec", "--latency-msec=10", "--format=s16le", "--rate=48000", "--channels=1"};
}

std::vector<std::string> host_system() {
  return {test_support::program_folder() + "audio-host", "--exclude-pids", std::to_string(getpid()),
          "--target", "system"};
}

// A process outside this program's tree (its parent exits at once), so that
// the host, whose parent this program is, may capture it. `command` runs
// under sh; returns its PID.
pid_t start_unrelated(const std::string& command) {
  const auto out = test_support::command_output(
      {"sh", "-c", "sh -c '" + command + "' </dev/null >/dev/null 2>&1 & echo $!"});
  return out ? std::atoi(out->c_str()) : -1;
}

std::vector<std::string> host_target(pid_t pid) {
  auto identity = audio_host::linux_host::read_process_identity(static_cast<std::uint32_t>(pid));
  if (!identity) {
    std::fprintf(stderr, "host-bench: %s\n", identity.error().c_str());
    std::exit(1);
  }
  return {test_support::program_folder() + "audio-host",
          "--exclude-pids",
          std::to_string(getpid()),
          "--target",
          "pid:" + std::to_string(pid),
          "--expected-exe",
          identity.value().exe(),
          "--expected-start",
          std::to_string(identity.value().start_time())};
}

double first_byte_ms(const std::vector<std::string>& argv) {
  Child child;
  const auto start = Clock::now();
  child.start(argv);
  child.wait_for_out_bytes(1, kTimeout);
  const double ms = ms_since(start);
  child.signal(SIGTERM);
  (void)child.wait(kTimeout);
  return ms;
}

// The offset of the first sample louder than -20 dBFS, or npos.
std::size_t first_loud_byte(const std::string& pcm, std::size_t from) {
  for (std::size_t at = from & ~std::size_t{1}; at + 1 < pcm.size(); at += 2) {
    const auto sample = static_cast<std::int16_t>(static_cast<unsigned char>(pcm[at]) |
                                                  (static_cast<unsigned char>(pcm[at + 1]) << 8));
    if (sample > 3276 || sample < -3276) {
      return at;
    }
  }
  return std::string::npos;
}

// Time from the trigger to the first loud byte arriving from each reader.
void onset_latencies(double* host_ms, double* parec_ms) {
  test_support::TempFolder folder;
  const std::string fifo = folder.path() + "/go";
  mkfifo(fifo.c_str(), 0600);
  const pid_t player =
      start_unrelated("read x < " + fifo + "; exec paplay " + test_support::Tones::file(440));
  Child host;
  Child parec;
  host.start(host_target(player));
  auto parec_args = parec_arguments();
  parec_args.push_back("-d");
  parec_args.push_back("ci.monitor");
  parec.start(parec_args);
  host.wait_for_out_bytes(48000, kTimeout);  // half a second of silence
  parec.wait_for_out_bytes(48000, kTimeout);
  const std::size_t host_from = host.out().size();
  const std::size_t parec_from = parec.out().size();
  const int go = open(fifo.c_str(), O_WRONLY);
  const auto start = Clock::now();
  (void)write(go, "\n", 1);
  close(go);
  *host_ms = *parec_ms = -1;
  while (ms_since(start) < 5000 && (*host_ms < 0 || *parec_ms < 0)) {
    host.pump(0);
    parec.pump(0);
    std::this_thread::sleep_for(Milliseconds(1));
    if (*host_ms < 0 && first_loud_byte(host.out(), host_from) != std::string::npos) {
      *host_ms = ms_since(start);
    }
    if (*parec_ms < 0 && first_loud_byte(parec.out(), parec_from) != std::string::npos) {
      *parec_ms = ms_since(start);
    }
  }
  host.signal(SIGTERM);
  parec.signal(SIGTERM);
  (void)host.wait(kTimeout);
  (void)parec.wait(kTimeout);
  kill(player, SIGKILL);
}

double cpu_ms(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(file, line);
  std::istringstream fields(line.substr(line.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0;
  unsigned long long stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) {
      utime = std::stoull(field);
    } else if (i == 15) {
      stime = std::stoull(field);
    }
  }
  return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void cpu_per_second(double seconds, double* host_ms, double* parec_ms) {
  const pid_t player = start_unrelated("exec paplay " + test_support::Tones::file(440));
  const auto stream = test_support::sink_input_of(player, kTimeout);
  if (!stream) {
    std::fprintf(stderr, "host-bench: the player's stream did not appear\n");
    std::exit(1);
  }
  Child host;
  Child parec;
  host.start(host_target(player));
  auto parec_args = parec_arguments();
  parec_args.push_back("--monitor-stream=" + std::to_string(*stream));
  parec.start(parec_args);
  host.wait_for_out_bytes(1, kTimeout);
  parec.wait_for_out_bytes(1, kTimeout);
  const double host_before = cpu_ms(host.pid());
  const double parec_before = cpu_ms(parec.pid());
  const auto start = Clock::now();
  while (ms_since(start) < seconds * 1000) {
    host.pump_until([] { return false; }, Milliseconds(20));
    parec.pump_until([] { return false; }, Milliseconds(20));
  }
  const double elapsed = ms_since(start) / 1000.0;
  *host_ms = (cpu_ms(host.pid()) - host_before) / elapsed;
  *parec_ms = (cpu_ms(parec.pid()) - parec_before) / elapsed;
  host.signal(SIGTERM);
  parec.signal(SIGTERM);
  (void)host.wait(kTimeout);
  (void)parec.wait(kTimeout);
  kill(player, SIGKILL);
}

void row(const char* what, double host, double parec) {
  std::printf("| %-34s | %10.1f | %10.1f | %6.2f |\n", what, host, parec,
              parec > 0 ? host / parec : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
  const double cpu_seconds = argc > 2 ? std::atof(argv[2]) : 10;
  std::vector<double> host_first;
  std::vector<double> parec_first;
  std::vector<double> host_onset;
  std::vector<double> parec_onset;
  for (int i = 0; i < runs; ++i) {
    host_first.push_back(first_byte_ms(host_system()));
    auto parec_args = parec_arguments();
    parec_args.push_back("-d");
    parec_args.push_back("ci.monitor");
    parec_first.push_back(first_byte_ms(parec_args));
    double host_ms = 0;
    double parec_ms = 0;
    onset_latencies(&host_ms, &parec_ms);
    host_onset.push_back(host_ms);
    parec_onset.push_back(parec_ms);
  }
  double host_cpu = 0;
  double parec_cpu = 0;
  cpu_per_second(cpu_seconds, &host_cpu, &parec_cpu);

  std::printf("\nLinux host against %s, medians of %d runs (CPU: one run of %.0f s)\n\n",
              test_support::sound_server_kind().c_str(), runs, cpu_seconds);
  std::printf("| %-34s | %10s | %10s | %6s |\n", "measure", "audio-host", "parec", "ratio");
  std::printf("|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(12, '-').c_str(),
              std::string(12, '-').c_str(), std::string(8, '-').c_str());
  row("first PCM byte after start (ms)", median(host_first), median(parec_first));
  row("tone onset to PCM (ms)", median(host_onset), median(parec_onset));
  row("CPU per second of capture (ms/s)", host_cpu, parec_cpu);
  return 0;
}
