// child-process-test-helper: the child that child_process_test.cpp starts.
// It does what its arguments say, in order:
//
//   out:N, err:N      write N bytes ('o' or 'e') to standard output or error
//   say-out:TEXT,     write TEXT to standard output or error
//   say-err:TEXT
//   flood             write standard output until a write fails
//   stdin             read standard input to its end, then write "stdin=N\n"
//   env:NAME          write "NAME=VALUE\n", or "NAME unset\n"
//   wait-stop         write "ready\n" to standard error, then wait for the
//                     stop signal (SIGINT, or Ctrl+C) and exit with 5
//   stop-child        prepare the stop signal (on Windows: a console of its
//                     own), start this program with wait-stop as its child,
//                     send it the stop signal once it is ready, and exit
//                     with the child's status (3 when a step failed)
//   sleep             sleep for ten minutes
//   exit:N            exit with N
//   args ...          write each argument after it as "[ARGUMENT]\n" and end
//
// A write that fails ends it with exit status 7 (SIGPIPE is ignored, so a
// reader that went away is a failed write too); a bad argument with 2.
// Threads: one (and the signal handler).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "std_streams.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

using vantle::StandardStream;

constexpr int kWriteFailed = 7;
constexpr int kStopped = 5;
constexpr int kStepFailed = 3;

#ifdef _WIN32
volatile LONG g_stopped = 0;
BOOL WINAPI on_stop(DWORD) {
  InterlockedExchange(&g_stopped, 1);
  return TRUE;
}
bool install_stop_handler() {
  return SetConsoleCtrlHandler(on_stop, TRUE) != 0;
}
bool stopped() {
  return InterlockedCompareExchange(&g_stopped, 0, 0) != 0;
}
#else
volatile sig_atomic_t g_stopped = 0;
void on_stop(int) {
  g_stopped = 1;
}
bool install_stop_handler() {
  struct sigaction action {};
  action.sa_handler = on_stop;
  sigemptyset(&action.sa_mask);
  return ::sigaction(SIGINT, &action, nullptr) == 0;
}
bool stopped() {
  return g_stopped != 0;
}
#endif

void write_or_exit(StandardStream stream, const std::string& bytes) {
  if (!vantle::write_all(stream, bytes.data(), bytes.size(), vantle::MissingStream::fail)) {
    std::exit(kWriteFailed);
  }
}

std::string read_stdin() {
  std::string bytes;
  char buffer[4096];
#ifdef _WIN32
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
    bytes.append(buffer, got);
  }
#else
  ssize_t got;
  while ((got = ::read(0, buffer, sizeof buffer)) > 0) {
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
#endif
  return bytes;
}

// The stop signal sent to a child of this process (see stop-child).
int stop_a_child() {
  using namespace std::chrono_literals;
  const auto folder = vantle::program_folder();
  if (!folder.ok() || !vantle::prepare_stop_signal().ok()) {
    return kStepFailed;
  }
#ifdef _WIN32
  const char* name = "child-process-test-helper.exe";
#else
  const char* name = "child-process-test-helper";
#endif
  vantle::ChildProcess child;
  if (!child
           .start({folder.value() + vantle::to_native_string(name),
                   vantle::to_native_string("wait-stop")})
           .ok() ||
      !child.wait_for_err("ready\n", 60s) || !child.send_stop_signal().ok()) {
    return kStepFailed;
  }
  const vantle::Result<bool> ended = child.wait(60s);
  return ended.ok() && ended.value() ? child.exit_status()->code : kStepFailed;
}

std::string environment_variable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value == nullptr ? name + " unset\n" : name + "=" + value + "\n";
}

int run(const std::vector<std::string>& arguments) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const std::size_t colon = argument.find(':');
    const std::string verb = argument.substr(0, colon);
    const std::string value = colon == std::string::npos ? "" : argument.substr(colon + 1);
    if (verb == "out" || verb == "err") {
      write_or_exit(verb == "out" ? StandardStream::output : StandardStream::error,
                    std::string(std::strtoul(value.c_str(), nullptr, 10), verb[0]));
    } else if (verb == "say-out" || verb == "say-err") {
      write_or_exit(verb == "say-out" ? StandardStream::output : StandardStream::error, value);
    } else if (verb == "flood") {
      const std::string block(1 << 14, 'f');
      for (;;) {
        write_or_exit(StandardStream::output, block);
      }
    } else if (verb == "stdin") {
      write_or_exit(StandardStream::output, "stdin=" + std::to_string(read_stdin().size()) + "\n");
    } else if (verb == "env") {
      write_or_exit(StandardStream::output, environment_variable(value));
    } else if (verb == "wait-stop") {
      if (!install_stop_handler()) {
        return 2;
      }
      write_or_exit(StandardStream::error, "ready\n");
      while (!stopped()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return kStopped;
    } else if (verb == "stop-child") {
      return stop_a_child();
    } else if (verb == "sleep") {
      std::this_thread::sleep_for(std::chrono::minutes(10));
    } else if (verb == "exit") {
      return std::atoi(value.c_str());
    } else if (verb == "args") {
      for (++i; i < arguments.size(); ++i) {
        write_or_exit(StandardStream::output, "[" + arguments[i] + "]\n");
      }
    } else {
      std::fprintf(stderr, "child-process-test-helper: unknown argument %s\n", argument.c_str());
      return 2;
    }
  }
  return 0;
}

}  // namespace

// The arguments are ASCII: on Windows main's (the C runtime's reading of
// the command line) are enough.
int main(int argc, char** argv) {
#ifndef _WIN32
  (void)::signal(SIGPIPE, SIG_IGN);
#endif
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
