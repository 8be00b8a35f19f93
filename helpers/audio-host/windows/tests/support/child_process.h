// Test support (Windows): programs started as children through the
// child-process library, with pipes on their standard output and standard
// error that the library's reader threads drain, under the names and types
// the end-to-end tests use. The tests play the translator's part.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>
#include <vector>

// The library's header: with quotes this file would find itself.
#include <child_process.h>

namespace test_support {

// The folder of the running test program, with a trailing backslash.
inline std::wstring program_folder() {
  const auto folder = vantle::program_folder();
  return folder.ok() ? folder.value() : std::wstring();
}

// Quotes one argument the way CommandLineToArgvW reads it back.
using vantle::quote_argument;

struct ChildOptions {
  // Extra environment variables ("NAME=value"), added to the inherited ones.
  std::vector<std::wstring> environment;
  DWORD creation_flags = 0;
  // Standard input: the NUL device unless a pipe is asked for.
  bool stdin_pipe = false;
  // Standard output: a pipe this side reads (out()); a pipe whose reader is
  // gone before the child starts; no handle at all; or the file
  // `stdout_file` (for example Z:\dev\full, a disk that is always full).
  enum class Stdout { pipe, reader_gone, none, file };
  Stdout stdout_mode = Stdout::pipe;
  std::wstring stdout_file;
};

// A ChildProcess with the names the tests use. The reader threads read all
// along (but for a paused standard output); out() and err() give what they
// have read so far.
class Child : public vantle::ChildProcess {
 public:
  // Starts `exe` with `arguments`; false (and a reason in error()) on failure.
  bool start(const std::wstring& exe, const std::vector<std::wstring>& arguments,
             const ChildOptions& options = {});

  DWORD pid() const { return ChildProcess::pid(); }
  HANDLE process() const { return process_handle(); }
  const std::string& error() const { return error_; }

  // Waits for the exit; false on time-out (the child is then killed). After
  // true, out() and err() are complete unless a descendant holds the pipes.
  using ChildProcess::wait;
  bool wait(DWORD timeout_ms);
  DWORD exit_code() const { return exit_status() ? DWORD(exit_status()->code) : 0; }

  // Everything read so far.
  const std::string& out();
  const std::string& err();
  // Blocks until standard output has delivered at least `size` bytes or
  // reached its end, or `timeout_ms` passed; returns what has arrived.
  std::string wait_for_out(std::size_t size, DWORD timeout_ms);
  // Blocks until standard error holds `text`, or the time-out.
  using ChildProcess::wait_for_err;
  bool wait_for_err(const std::string& text, DWORD timeout_ms) {
    return wait_for_err(text, std::chrono::milliseconds(timeout_ms));
  }

  void kill() { (void)ChildProcess::kill(); }

 private:
  std::string error_;
};

struct RunOutput {
  bool finished = false;
  DWORD exit_code = 0;
  std::string out;
  std::string err;
};

// Runs `exe` to its end (at most `timeout_ms`).
RunOutput run(const std::wstring& exe, const std::vector<std::wstring>& arguments,
              const ChildOptions& options = {}, DWORD timeout_ms = 30000);

// UTF-8 <-> UTF-16 for test texts.
inline std::wstring widen(const std::string& text) {
  return vantle::to_native_string(text);
}
inline std::string narrow(const std::wstring& text) {
  return vantle::from_native_string(text);
}

}  // namespace test_support
