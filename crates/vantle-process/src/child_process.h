// A program started as a child process, the way the translator starts the
// host and the tests start the host, its stand-ins and their players: its
// arguments and environment, where its standard streams go, reading its
// standard output and standard error together so that neither pipe can fill
// and stall it, stopping it (by closing the output pipe, by the stop signal
// or by killing it), and waiting for it with a bound.
//
// Portable parts are in child_process.cpp, the platform's in
// child_process-posix.cpp and child_process-win32.cpp.
//
// Threads: a ChildProcess belongs to the thread that started it (its
// owner), which alone calls its methods. out() and err() are the owner's
// buffers; they grow only inside pump(), pump_until(), the wait_for_
// methods and wait(). On POSIX the pipes are read there too, on the owner's
// thread with poll: a child is read only while its owner is in one of those
// calls. On Windows two reader threads of the child's own drain the pipes
// all the time (but for a paused standard output) into buffers shared with
// the owner under one lock, and the calls above move what they read into
// out() and err().
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace vantle {

// Text as the system takes it for arguments, environment entries and paths:
// UTF-16 on Windows (which may hold unpaired surrogates), bytes on POSIX.
#ifdef _WIN32
using NativeString = std::wstring;
#else
using NativeString = std::string;
#endif

// UTF-8 as a NativeString (Windows: ill-formed UTF-8 becomes U+FFFD), and
// back (Windows: an unpaired surrogate becomes U+FFFD). Identity on POSIX.
NativeString to_native_string(std::string_view utf8);
std::string from_native_string(const NativeString& text);

// The folder of the running program, with a trailing separator.
Result<NativeString> program_folder();

// One argument quoted for a Windows command line, so that
// CommandLineToArgvW and the C runtime read it back unchanged. Plain text
// logic, available everywhere.
NativeString quote_argument(const NativeString& argument);

// How a child ended.
struct ExitStatus {
  bool exited = true;  // false: ended by a signal (POSIX)
  int code = 0;        // the exit status, or the signal's number
};

// "0", "1", "signal 9".
std::string describe(const ExitStatus& status);

enum class InputMode {
  null_device,  // the null device: the child reads an empty input
  pipe,         // a pipe whose write end this side holds (close_stdin())
};

enum class OutputMode {
  pipe,         // a pipe this side reads (out(), err())
  reader_gone,  // a pipe whose read end is closed before the child starts
  null_device,  // the null device
  none,         // no stream at all (POSIX: the descriptor is closed)
  file,         // an existing file, opened for writing (not truncated)
  inherit,      // this process's own stream
};

struct ChildOptions {
  // NAME=VALUE entries added to this process's environment, replacing a
  // variable of the same name (on Windows names ignore the case of ASCII
  // letters, as the system's do), and names removed from it.
  std::vector<NativeString> environment;
  std::vector<NativeString> unset;

  InputMode stdin_mode = InputMode::null_device;
  OutputMode stdout_mode = OutputMode::pipe;
  NativeString stdout_file;  // with OutputMode::file
  OutputMode stderr_mode = OutputMode::pipe;
  NativeString stderr_file;  // with OutputMode::file

  // POSIX: the child leads a process group of its own, which is killed as a
  // whole when the ChildProcess goes (a shell and what it starts).
  bool own_process_group = false;
  // Windows: added to CreateProcessW's creation flags.
  std::uint32_t creation_flags = 0;
};

class ChildProcess {
 public:
  ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // A child still running is killed (with its process group when it has
  // one) and waited for; the readers stop and every handle is closed.
  ~ChildProcess();

  // Starts argv[0] with the arguments argv[1...]. POSIX: a name without a
  // slash is looked up in PATH. Windows: argv[0] is the program's path (no
  // search) and the command line is argv quoted with quote_argument. The
  // child starts with default signal actions and no blocked signals
  // (POSIX), whatever this process set for itself. Once per object.
  // Failures read "cannot start PROGRAM: [call: ]system text (os error N)".
  Status start(const std::vector<NativeString>& argv, const ChildOptions& options = {});
  bool started() const { return pid_ != 0; }
  std::uint32_t pid() const { return pid_; }
#ifdef _WIN32
  // The process handle (a HANDLE), owned by this object.
  void* process_handle() const;
#endif

  // Reads what arrives on the pipes within `timeout` (0: what is there now).
  void pump(std::chrono::milliseconds timeout);
  // Reads until `done()` holds or the time runs out; returns `done()`.
  bool pump_until(const std::function<bool()>& done, std::chrono::milliseconds timeout);
  // Reads until standard output holds `bytes` bytes, or standard error holds
  // `text`; false when the time runs out or the stream ends first.
  bool wait_for_out_bytes(std::size_t bytes, std::chrono::milliseconds timeout);
  bool wait_for_err(std::string_view text, std::chrono::milliseconds timeout);

  // Everything read so far (complete once the stream ended).
  const std::string& out() const {
    return out_;
  }
  const std::string& err() const {
    return err_;
  }
  // Whether nothing more can come: the pipe reached its end, was closed by
  // this side, failed (read_status()), or the stream is not a pipe.
  bool stdout_ended() const {
    return out_ended_;
  }
  bool stderr_ended() const {
    return err_ended_;
  }
  // The first failure to read a pipe (that stream has then ended).
  const Status& read_status() const {
    return read_status_;
  }

  // Closes this side of the standard output pipe: the child's reader is
  // gone, its next write fails (POSIX: EPIPE or SIGPIPE).
  void close_stdout_reader();
  // Stops reading standard output, keeping the pipe open (a stalled reader:
  // once the pipe is full the child's writes block), and reads on again.
  void pause_stdout_reader();
  void resume_stdout_reader();
  // Closes this side of the standard input pipe: the child reads its end.
  void close_stdin();

  // The stop signal the translator sends: SIGINT on POSIX; on Windows
  // Ctrl+C, which reaches the child only through a console it shares with
  // this process (prepare_stop_signal() before the start).
  Status send_stop_signal();
#ifndef _WIN32
  // Sends `number` to the child (not after it was waited for).
  Status send_signal(int number);
#endif
  // Ends the child at once (with its process group when it has one) and
  // waits for it (Windows: at most 10 s).
  Status kill();

  // Waits up to `timeout` for the child to end, reading its pipes meanwhile,
  // and then reads them to their end within the same bound. True once the
  // child has ended (exit_status() is set; stdout_ended() and
  // stderr_ended() tell whether the pipes were read to their end), false
  // on time-out.
  Result<bool> wait(std::chrono::milliseconds timeout);
  // How the child ended, once wait() or kill() has seen it end.
  const std::optional<ExitStatus>& exit_status() const {
    return exit_status_;
  }

 private:
  // The platform's handles (on Windows with the reader threads).
  struct State;

  // Waits up to `timeout` for the child to end (reading on POSIX meanwhile);
  // true once exit_status_ is set.
  Result<bool> await_exit(std::chrono::milliseconds timeout);

  std::unique_ptr<State> state_;
  std::uint32_t pid_ = 0;
  std::optional<ExitStatus> exit_status_;
  std::string out_;
  std::string err_;
  bool out_ended_ = true;
  bool err_ended_ = true;
  Status read_status_;
};

// A program run to its end.
struct RunOutput {
  std::optional<ExitStatus> status;  // nullopt: still running at the bound (then killed)
  std::string out;
  std::string err;
};

// Starts `argv` and waits at most `timeout` for it to end; a child still
// running then is killed.
Result<RunOutput> run(const std::vector<NativeString>& argv, const ChildOptions& options,
                      std::chrono::milliseconds timeout);

// Makes the stop signal able to reach children started after this call.
// Windows: Ctrl+C reaches the processes of one console, so this process
// takes a console of its own (keeping its standard output and error), which
// its children then share, and a handler that lets it survive the Ctrl+C it
// sends; a handler installed after this call is asked first. POSIX: nothing
// to do.
Status prepare_stop_signal();

// ----------------------------------------------------------------------------

namespace detail {
// This process's environment `inherited` ("NAME=VALUE" entries) with the
// options' entries added or replacing and their names removed, in
// `inherited`'s order with the added entries last. Names are compared
// ignoring the case of ASCII letters when `ignore_case` (Windows). A name is
// what precedes the first '=' after the first character (Windows keeps
// entries such as "=C:=C:\dir").
std::vector<NativeString> merge_environment(const std::vector<NativeString>& inherited,
                                            const ChildOptions& options, bool ignore_case);
}  // namespace detail

}  // namespace vantle
