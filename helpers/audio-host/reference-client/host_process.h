// Starting the host the way the translator does: the host runs as this
// program's direct child (a vantle::ChildProcess) with standard input from
// the null device and its standard output (PCM) and standard error (event
// lines) on pipes that are read together, so that neither can fill and
// stall the host. What differs per platform (the host's file name, the
// console the stop signal needs, catching the user's interrupt) is in
// host_process-posix.cpp and host_process-win32.cpp.
//
// A HostProcess is used by one thread; its pipes are read while that thread
// is in wait() or take_stderr_lines() (on Windows by the child's reader
// threads all along).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "child_process.h"
#include "result.h"

namespace reference_client {

using ExitStatus = vantle::ExitStatus;
using vantle::describe;

class HostProcess {
 public:
  // `program` is a path (UTF-8), or on POSIX a name looked up on PATH.
  vantle::Status start(const std::string& program, const std::vector<std::string>& arguments);

  // Waits up to `timeout` for the host to exit and its pipes to reach their
  // end; true when both happened (exit_status() is then valid).
  bool wait(std::chrono::milliseconds timeout);

  // Stops reading the PCM and closes this side of the pipe: the host sees
  // its reader go away.
  void close_pcm() { child_.close_stdout_reader(); }
  // SIGINT on POSIX; Ctrl+C on Windows, which reaches the host only through
  // a console it shares with this program (prepare_stop_signal first).
  vantle::Status send_stop_signal() { return child_.send_stop_signal(); }
  // Ends the host at once and waits for it.
  void kill();

  ExitStatus exit_status() const { return child_.exit_status().value_or(ExitStatus{}); }
  // Standard output so far (all of it once wait() returned true).
  const std::string& pcm() const { return child_.out(); }
  // Reads what has arrived, then gives the complete lines of standard error
  // that arrived since the last call, each with its LF; once standard error
  // has ended, a last unterminated line too.
  std::vector<std::string> take_stderr_lines();

 private:
  vantle::ChildProcess child_;  // a host still running when it goes is killed
  std::size_t err_taken_ = 0;
};

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
