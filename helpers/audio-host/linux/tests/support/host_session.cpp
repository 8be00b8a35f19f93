#include "support/host_session.h"

#include <cstdio>
#include <thread>

#include "native/processes.h"

namespace test_support {
namespace {
// Every test program that starts the host adopts it when its translator
// ends first.
const bool kSubreaper = (become_subreaper(), true);
}  // namespace

std::vector<std::string> target_arguments(pid_t pid) {
  auto identity = audio_host::linux_host::read_process_identity(static_cast<std::uint32_t>(pid));
  if (!identity) {
    std::fprintf(stderr, "identity of %d: %s\n", static_cast<int>(pid), identity.error().c_str());
    return {};
  }
  return {"--exclude-pids",   "{self}",
          "--target",         "pid:" + std::to_string(pid),
          "--expected-exe",   identity.value().exe(),
          "--expected-start", std::to_string(identity.value().start_time())};
}

bool HostSession::start(const std::vector<std::string>& host_arguments,
                        const TranslatorOptions& options) {
  const std::string pid_file = folder_.path() + "/pids";
  std::vector<std::string> argv = {program_folder() + "translator-standin", "--pid-file", pid_file};
  for (const std::string& arg : options.translator_arguments) {
    argv.push_back(arg);
    if (arg == "--exit-after-ms") {
      translator_waits_ = false;
    }
  }
  argv.push_back("--");
  argv.push_back(host_program());
  argv.insert(argv.end(), host_arguments.begin(), host_arguments.end());
  SpawnOptions spawn;
  spawn.environment = options.environment;
  spawn.unset = options.unset;
  spawn.stdout_file = options.stdout_file;
  if (!translator_->start(argv, spawn)) {
    return false;
  }
  return translator_->pump_until(
      [&] {
        int translator = 0;
        int host = 0;
        int child = 0;
        int grandchild = 0;
        if (std::sscanf(read_file(pid_file).c_str(), "translator=%d host=%d child=%d grandchild=%d",
                        &translator, &host, &child, &grandchild) != 4) {
          return false;
        }
        host_pid_ = host;
        child_pid_ = child;
        grandchild_pid_ = grandchild;
        return true;
      },
      Milliseconds(10000));
}

std::optional<int> HostSession::host_status(Milliseconds timeout) {
  if (translator_waits_) {
    return translator_->wait(timeout);
  }
  (void)translator_->wait(timeout);
  return wait_for_pid(host_pid_, timeout);
}

}  // namespace test_support
