// Test support: programs started as real child processes (the child-process
// library's ChildProcess, which reads their standard output and standard
// error through pipes), and small helpers the end-to-end tests share.
// Test-thread only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace test_support {

using Milliseconds = std::chrono::milliseconds;

// The folder of the running test program (the build's bin folder, where the
// host and the helper programs are), with a trailing slash.
inline std::string program_folder() {
  const auto folder = vantle::program_folder();
  return folder.ok() ? folder.value() : std::string();
}

// Makes this process the reaper of its orphaned descendants, so that a host
// whose translator has ended can still be waited for.
void become_subreaper();

struct SpawnOptions {
  std::vector<std::string> environment;  // NAME=VALUE, added or replacing
  std::vector<std::string> unset;        // names removed
  bool capture_output = true;            // pipes for stdout and stderr
  // With capture_output: standard output goes to this file instead (for
  // example /dev/full, a disk that is always full); stderr stays a pipe.
  // Without it, standard output goes to /dev/null and standard error is
  // this test's own.
  std::string stdout_file;
  // A process group of its own, killed as a whole when the Child goes (for
  // a shell and what it starts).
  bool own_group = false;
};

// A ChildProcess with the names the tests use. The pipes are read only
// inside pump(), pump_until(), the wait_for_ methods and wait(): a test that
// does not call them is a reader that stalls. Standard input is /dev/null.
// The destructor kills (SIGKILL) and reaps a child that still runs, with its
// group when it has its own.
class Child : public vantle::ChildProcess {
 public:
  // Starts argv[0] (looked up in PATH); false on failure, the reason in
  // error().
  bool start(const std::vector<std::string>& argv, const SpawnOptions& options = {});
  const std::string& error() const { return error_; }
  pid_t pid() const { return started() ? static_cast<pid_t>(ChildProcess::pid()) : -1; }

  using ChildProcess::pump;
  // Reads what arrives within `timeout_ms` (0: what is there now).
  void pump(int timeout_ms) { pump(Milliseconds(timeout_ms)); }
  // Closes the read end of the child's standard output (the reader goes).
  void close_out() { close_stdout_reader(); }

  // Waits for the child to end, reading its pipes meanwhile; the exit
  // status, 128 + the signal for a killed child, or nullopt on time-out.
  std::optional<int> wait(Milliseconds timeout);
  void signal(int number) { (void)send_signal(number); }

 private:
  std::string error_;
};

// Waits for `pid`, a child or an adopted orphan of this process.
std::optional<int> wait_for_pid(pid_t pid, Milliseconds timeout);

// Runs a command to its end and gives its standard output (nullopt when it
// fails).
std::optional<std::string> command_output(const std::vector<std::string>& argv,
                                          const std::vector<std::string>& environment = {});

// The power of `frequency` in mono s16le PCM at 48000 Hz (Goertzel over the
// samples in [first_byte, first_byte + bytes)), normalised per sample.
double tone_power(const std::string& pcm, std::size_t first_byte, std::size_t bytes,
                  double frequency);

// The same under a Hann window, which reads a steady tone alike but keeps
// the other tones out: over a second and a half, the plain sum lets a tone
// 200 Hz away through about 60 dB down, and a click or a short gap far more.
double windowed_tone_power(const std::string& pcm, std::size_t first_byte, std::size_t bytes,
                           double frequency);

std::string read_file(const std::string& path);

// A number from a /proc status file ("VmRSS", "VmHWM" in KiB,
// "voluntary_ctxt_switches"): `status_path` is /proc/PID/status or
// /proc/PID/task/TID/status. Nullopt when the file or the field is missing.
std::optional<std::uint64_t> status_number(const std::string& status_path,
                                           const std::string& field);
std::optional<std::uint64_t> status_number(pid_t pid, const std::string& field);

// Least-squares slope of y over x (frames over seconds: a rate); 0 for
// fewer than two distinct x.
class SlopeFit {
 public:
  void add(double x, double y);
  double slope() const;
  std::size_t count() const { return n_; }

 private:
  std::size_t n_ = 0;
  double x0_ = 0;  // the first point, subtracted for precision
  double y0_ = 0;
  double sx_ = 0;
  double sy_ = 0;
  double sxx_ = 0;
  double sxy_ = 0;
};

// A folder of its own under TMPDIR, removed with everything in it.
class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace test_support
