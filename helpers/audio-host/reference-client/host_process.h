// Starting the host the way the translator does, one file per platform
// (host_process-posix.cpp, host_process-win32.cpp): the host runs as this
// program's direct child with standard input from the null device and its
// standard output (PCM) and standard error (event lines) on pipes that are
// read concurrently, so that neither can fill and stall the host.
//
// A HostProcess is used by one thread; its readers are its own threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "result.h"

namespace reference_client {

struct ExitStatus {
  bool exited = false;  // false: ended by a signal (POSIX)
  int code = 0;         // exit status, or the signal's number
};

// "0", "1", "signal 9".
std::string describe(const ExitStatus& status);

class HostProcess {
 public:
  HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;
  // A host still running is killed and waited for.
  ~HostProcess();

  // `program` is a path (UTF-8), or on POSIX a name looked up on PATH.
  vantle::Status start(const std::string& program, const std::vector<std::string>& arguments);

  // Waits up to `timeout` for the host to exit and its pipes to reach their
  // end; true when both happened (exit_status() is then valid).
  bool wait(std::chrono::milliseconds timeout);

  // Stops reading the PCM and closes this side of the pipe: the host sees
  // its reader go away.
  void close_pcm();
  // SIGINT on POSIX; Ctrl+C on Windows, which reaches the host only through
  // a console it shares with this program (prepare_stop_signal first).
  vantle::Status send_stop_signal();
  // Ends the host at once and waits for it.
  void kill();

  ExitStatus exit_status() const;
  // Standard output so far (all of it once wait() returned true).
  std::string pcm() const;
  // The complete lines of standard error that arrived since the last call,
  // each with its LF; after wait() returned true, a last unterminated line
  // too.
  std::vector<std::string> take_stderr_lines();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Where this program is, with a trailing separator, as UTF-8 (empty if unknown).
std::string program_folder();
// The host's file name beside this program: "audio-host" or "audio-host.exe".
std::string host_file_name();
std::uint32_t current_process_id();

// Makes a stop signal able to reach a host started after this call (Windows:
// this program takes a console of its own, which the host then shares;
// POSIX: nothing to do).
void prepare_stop_signal();

// Catches the user's interrupt (Ctrl+C: SIGINT, or the console's Ctrl+C and
// Ctrl+Break) and SIGTERM instead of dying of it; interrupted() then answers
// true. The host, in the same terminal or console, gets the user's Ctrl+C as
// well.
void catch_interrupts();
bool interrupted();

}  // namespace reference_client
