#include "host_process.h"

namespace reference_client {

vantle::Status HostProcess::start(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  std::vector<vantle::NativeString> argv = {vantle::to_native_string(program)};
  for (const std::string& argument : arguments) {
    argv.push_back(vantle::to_native_string(argument));
  }
  return child_.start(argv);
}

bool HostProcess::wait(std::chrono::milliseconds timeout) {
  if (!child_.started()) {
    return false;
  }
  const vantle::Result<bool> ended = child_.wait(timeout);
  return ended.ok() && ended.value() && child_.stdout_ended() && child_.stderr_ended();
}

void HostProcess::kill() {
  // What became of the host shows in its exit status.
  (void)child_.kill();
}

std::vector<std::string> HostProcess::take_stderr_lines() {
  child_.pump(std::chrono::milliseconds(0));
  const std::string& text = child_.err();
  std::vector<std::string> lines;
  std::size_t end;
  while ((end = text.find('\n', err_taken_)) != std::string::npos) {
    lines.push_back(text.substr(err_taken_, end + 1 - err_taken_));
    err_taken_ = end + 1;
  }
  if (child_.stderr_ended() && err_taken_ < text.size()) {
    lines.push_back(text.substr(err_taken_));
    err_taken_ = text.size();
  }
  return lines;
}

}  // namespace reference_client
