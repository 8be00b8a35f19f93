// Plays the translator for the end-to-end tests: starts the host as its
// direct child, with the process trees the ancestry rules are about.
//
//   translator-standin --pid-file FILE [--exit-after-ms N]
//                      [--child COMMAND] [--grandchild] -- HOST ARGUMENTS...
//
// --child starts `sh -c COMMAND` as the translator's child before the host
// (default COMMAND: "exec sleep 60"); --grandchild also starts a grandchild
// (`sleep 60` under a child shell). In the host's arguments {self},
// {pid:WHO}, {exe:WHO} and {start:WHO} are replaced, WHO being self,
// parent, child or grandchild (exe and start are the identity the listing
// would show). FILE gets "translator=P host=P child=P grandchild=P" once the
// host runs. The host inherits standard output and standard error. Without
// --exit-after-ms the translator waits for the host and exits with its
// status; with it, it exits after N ms, leaving the host behind. The
// children it started are killed when it ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "shared/processes.h"

namespace {

pid_t start_shell(const std::string& command, int stdout_fd) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (stdout_fd >= 0) {
      dup2(stdout_fd, 1);
    } else {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
    }
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return pid;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::string pid_file;
  long exit_after_ms = -1;
  std::string child_command;
  bool grandchild = false;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg == "--pid-file" && i + 1 < argc) {
      pid_file = argv[++i];
    } else if (arg == "--exit-after-ms" && i + 1 < argc) {
      exit_after_ms = std::strtol(argv[++i], nullptr, 10);
    } else if (arg == "--child" && i + 1 < argc) {
      child_command = argv[++i];
    } else if (arg == "--grandchild") {
      grandchild = true;
    } else {
      std::fprintf(stderr, "translator-standin: unknown argument %s\n", arg.c_str());
      return 2;
    }
  }
  if (i >= argc) {
    std::fprintf(stderr, "translator-standin: no host command\n");
    return 2;
  }

  std::map<std::string, pid_t> pids = {{"self", getpid()}, {"parent", getppid()}};
  std::vector<pid_t> children;
  if (!child_command.empty() || grandchild) {
    if (grandchild) {
      int pipe_fds[2];
      if (pipe(pipe_fds) != 0) {
        return 2;
      }
      const pid_t child = start_shell("sleep 60 & echo $!; wait", pipe_fds[1]);
      close(pipe_fds[1]);
      char buffer[32] = {};
      const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer - 1);
      close(pipe_fds[0]);
      pids["child"] = child;
      pids["grandchild"] = got > 0 ? static_cast<pid_t>(std::atoi(buffer)) : 0;
      children.push_back(child);
    } else {
      const pid_t child = start_shell(child_command, -1);
      pids["child"] = child;
      children.push_back(child);
    }
  }

  std::vector<std::string> host_args;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    arg = replace_all(arg, "{self}", std::to_string(getpid()));
    for (const auto& [who, pid] : pids) {
      arg = replace_all(arg, "{pid:" + who + "}", std::to_string(pid));
      if (arg.find("{exe:" + who + "}") != std::string::npos ||
          arg.find("{start:" + who + "}") != std::string::npos) {
        auto identity =
            audio_host::linux_host::read_process_identity(static_cast<std::uint32_t>(pid));
        const std::string exe = identity ? identity.value().exe() : "?";
        const std::string start = identity ? std::to_string(identity.value().start_time()) : "0";
        arg = replace_all(arg, "{exe:" + who + "}", exe);
        arg = replace_all(arg, "{start:" + who + "}", start);
      }
    }
    host_args.push_back(arg);
  }

  const pid_t host = fork();
  if (host == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    std::vector<char*> args;
    for (std::string& arg : host_args) {
      args.push_back(arg.data());
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (!pid_file.empty()) {
    const std::string temporary = pid_file + ".tmp";
    {
      std::ofstream file(temporary);
      file << "translator=" << getpid() << " host=" << host << " child=" << pids["child"]
           << " grandchild=" << pids["grandchild"] << "\n";
    }
    rename(temporary.c_str(), pid_file.c_str());
  }

  int status = 0;
  if (exit_after_ms >= 0) {
    usleep(static_cast<useconds_t>(exit_after_ms) * 1000);
  } else {
    while (waitpid(host, &status, 0) < 0 && errno == EINTR) {
    }
  }
  for (const pid_t child : children) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  if (pids["grandchild"] > 0) {
    kill(pids["grandchild"], SIGKILL);
  }
  if (exit_after_ms >= 0) {
    return 0;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
