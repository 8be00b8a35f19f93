#include "child_process.h"

namespace test_support {
namespace {

std::vector<std::wstring> argv_of(const std::wstring& exe,
                                  const std::vector<std::wstring>& arguments) {
  std::vector<std::wstring> argv = {exe};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

vantle::ChildOptions child_options(const ChildOptions& options) {
  vantle::ChildOptions child;
  child.environment = options.environment;
  child.creation_flags = options.creation_flags;
  child.stdin_mode = options.stdin_pipe ? vantle::InputMode::pipe : vantle::InputMode::null_device;
  switch (options.stdout_mode) {
    case ChildOptions::Stdout::pipe:
      child.stdout_mode = vantle::OutputMode::pipe;
      break;
    case ChildOptions::Stdout::reader_gone:
      child.stdout_mode = vantle::OutputMode::reader_gone;
      break;
    case ChildOptions::Stdout::none:
      child.stdout_mode = vantle::OutputMode::none;
      break;
    case ChildOptions::Stdout::file:
      child.stdout_mode = vantle::OutputMode::file;
      child.stdout_file = options.stdout_file;
      break;
  }
  return child;
}

}  // namespace

bool Child::start(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                  const ChildOptions& options) {
  const vantle::Status started =
      ChildProcess::start(argv_of(exe, arguments), child_options(options));
  error_ = started.ok() ? std::string() : started.error();
  return started.ok();
}

bool Child::wait(DWORD timeout_ms) {
  if (!started()) {
    return false;
  }
  const vantle::Result<bool> ended = wait(std::chrono::milliseconds(timeout_ms));
  if (!ended.ok() || !ended.value()) {
    kill();
    return false;
  }
  return true;
}

const std::string& Child::out() {
  pump(std::chrono::milliseconds(0));
  return ChildProcess::out();
}

const std::string& Child::err() {
  pump(std::chrono::milliseconds(0));
  return ChildProcess::err();
}

std::string Child::wait_for_out(std::size_t size, DWORD timeout_ms) {
  (void)wait_for_out_bytes(size, std::chrono::milliseconds(timeout_ms));
  return ChildProcess::out();
}

RunOutput run(const std::wstring& exe, const std::vector<std::wstring>& arguments,
              const ChildOptions& options, DWORD timeout_ms) {
  RunOutput output;
  const auto ran = vantle::run(argv_of(exe, arguments), child_options(options),
                               std::chrono::milliseconds(timeout_ms));
  if (!ran.ok()) {
    output.err = ran.error();
    return output;
  }
  output.finished = ran.value().status.has_value();
  output.exit_code = output.finished ? DWORD(ran.value().status->code) : 0;
  output.out = ran.value().out;
  output.err = ran.value().err;
  return output;
}

}  // namespace test_support
