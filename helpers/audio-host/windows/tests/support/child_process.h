// Test support (Windows): start a program as a child with pipes on its
// standard output and standard error, read both on threads of their own, and
// collect the bytes and the exit status. Used by the end-to-end tests, which
// play the translator's part.
#pragma once

#include <windows.h>

#include "win_handle.h"

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// The folder of the running test program, with a trailing backslash.
std::wstring program_folder();

// Quotes one argument the way CommandLineToArgvW reads it back.
std::wstring quote_argument(const std::wstring& argument);

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

class Child {
 public:
  Child();  // out of line: Stream is complete only there
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  // Starts `exe` with `arguments`; false (and a reason in error()) on failure.
  bool start(const std::wstring& exe, const std::vector<std::wstring>& arguments,
             const ChildOptions& options = {});

  DWORD pid() const { return pid_; }
  HANDLE process() const { return process_.get(); }
  const std::string& error() const { return error_; }

  // Closes our end of the child's standard output: the reader goes away.
  void close_stdout_reader();
  // Stops reading the child's standard output, leaving the pipe open (a
  // reader that stalls: once the pipe is full, the child's writes block),
  // and reads on again.
  void pause_stdout_reader();
  void resume_stdout_reader();
  // Closes our end of the child's standard input.
  void close_stdin();

  // Waits for the exit; false on time-out (the child is then killed).
  bool wait(DWORD timeout_ms);
  DWORD exit_code() const { return exit_code_; }

  // Everything read so far; complete after wait() returned true.
  std::string out() const;
  std::string err() const;
  // Blocks until standard output has delivered at least `size` bytes or
  // reached its end, or `timeout_ms` passed; returns what has arrived.
  std::string wait_for_out(std::size_t size, DWORD timeout_ms);
  // Blocks until standard error holds `text`, or the time-out.
  bool wait_for_err(const std::string& text, DWORD timeout_ms);

  void kill();

 private:
  struct Stream;
  void join_readers();

  vantle::WinHandle process_;
  DWORD pid_ = 0;
  DWORD exit_code_ = 0;
  vantle::WinHandle stdin_write_;
  std::unique_ptr<Stream> out_;
  std::unique_ptr<Stream> err_;
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
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

}  // namespace test_support
