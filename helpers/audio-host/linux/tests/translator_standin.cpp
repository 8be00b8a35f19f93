// Plays the translator for the end-to-end tests: starts the host as its
// direct child, with the process trees the ancestry rules are about.
//
//   translator-standin --pid-file FILE [--exit-after-ms N]
//                      [--child COMMAND] [--grandchild] [--child-on-usr1 COMMAND]
//                      [--host-ignores-stops] [--host-stop-pending]
//                      [--host-closes FD] -- HOST ARGUMENTS...
//
// --child starts `sh -c COMMAND` as the translator's child before the host
// (default COMMAND: "exec sleep 60"); --grandchild also starts a grandchild
// (`sleep 60` under a child shell). --child-on-usr1 starts `sh -c COMMAND`
// as another child each time the translator gets SIGUSR1, and writes
// "child=P" to FILE.usr1. The host starts with SIGINT, SIGTERM and SIGHUP
// ignored (--host-ignores-stops), or with SIGTERM blocked and already
// pending (--host-stop-pending), or with descriptor FD closed
// (--host-closes). In the host's arguments {self},
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

#include <cerrno>
#include <csignal>
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

volatile std::sig_atomic_t usr1_received = 0;

void on_usr1(int) {
  usr1_received = 1;
}

void write_file(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream file(temporary);
    file << text;
  }
  rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string pid_file;
  long exit_after_ms = -1;
  std::string child_command;
  bool grandchild = false;
  std::string usr1_command;
  bool host_ignores_stops = false;
  bool host_stop_pending = false;
  int host_closes = -1;
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
    } else if (arg == "--child-on-usr1" && i + 1 < argc) {
      usr1_command = argv[++i];
    } else if (arg == "--host-ignores-stops") {
      host_ignores_stops = true;
    } else if (arg == "--host-stop-pending") {
      host_stop_pending = true;
    } else if (arg == "--host-closes" && i + 1 < argc) {
      host_closes = std::atoi(argv[++i]);
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

  if (!usr1_command.empty()) {
    struct sigaction action {};
    action.sa_handler = on_usr1;  // no SA_RESTART: waitpid returns EINTR
    sigaction(SIGUSR1, &action, nullptr);
  }
  const pid_t host = fork();
  if (host == 0) {
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    if (host_ignores_stops) {
      for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        signal(number, SIG_IGN);
      }
    }
    if (host_stop_pending) {
      sigset_t stops;
      sigemptyset(&stops);
      sigaddset(&stops, SIGTERM);
      sigprocmask(SIG_BLOCK, &stops, nullptr);
      kill(getpid(), SIGTERM);  // pending across exec
    }
    if (host_closes >= 0) {
      close(host_closes);
    }
    std::vector<char*> args;
    for (std::string& arg : host_args) {
      args.push_back(arg.data());
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (!pid_file.empty()) {
    write_file(pid_file, "translator=" + std::to_string(getpid()) + " host=" +
                             std::to_string(host) + " child=" + std::to_string(pids["child"]) +
                             " grandchild=" + std::to_string(pids["grandchild"]) + "\n");
  }

  int status = 0;
  if (exit_after_ms >= 0) {
    usleep(static_cast<useconds_t>(exit_after_ms) * 1000);
  } else {
    while (waitpid(host, &status, 0) < 0 && errno == EINTR) {
      if (usr1_received != 0) {
        usr1_received = 0;
        const pid_t child = start_shell(usr1_command, -1);
        children.push_back(child);
        write_file(pid_file + ".usr1", "child=" + std::to_string(child) + "\n");
      }
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
