#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>
#include <thread>

extern char** environ;

namespace test_support {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> make_environment(const SpawnOptions& options) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text(*entry);
    const std::size_t equals = text.find('=');
    variables[text.substr(0, equals)] = text;
  }
  for (const std::string& name : options.unset) {
    variables.erase(name);
  }
  for (const std::string& text : options.environment) {
    variables[text.substr(0, text.find('='))] = text;
  }
  std::vector<std::string> result;
  for (auto& [name, text] : variables) {
    result.push_back(text);
  }
  return result;
}

int decode_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return 128 + WTERMSIG(status);
}

}  // namespace

std::string program_folder() {
  return std::filesystem::read_symlink("/proc/self/exe").parent_path().string() + "/";
}

void become_subreaper() {
  (void)prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

Child::~Child() {
  if (pid_ > 0 && own_group_) {
    ::kill(-pid_, SIGKILL);
  }
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    (void)::waitpid(pid_, &status, 0);
  }
  if (out_fd_ >= 0) {
    ::close(out_fd_);
  }
  if (err_fd_ >= 0) {
    ::close(err_fd_);
  }
}

bool Child::start(const std::vector<std::string>& argv, const SpawnOptions& options) {
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.capture_output) {
    if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
      return false;
    }
    if (options.stdout_file.empty()) {
      posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    } else {
      posix_spawn_file_actions_addopen(&actions, 1, options.stdout_file.c_str(), O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  short flags = POSIX_SPAWN_SETSIGMASK;
  if (options.own_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  own_group_ = options.own_group;
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char*> args;
  for (const std::string& arg : argv) {
    args.push_back(const_cast<char*>(arg.c_str()));
  }
  args.push_back(nullptr);
  std::vector<std::string> environment = make_environment(options);
  std::vector<char*> env;
  for (std::string& text : environment) {
    env.push_back(text.data());
  }
  env.push_back(nullptr);
  const int code =
      posix_spawnp(&pid_, argv[0].c_str(), &actions, &attributes, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (options.capture_output) {
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    out_fd_ = out_pipe[0];
    err_fd_ = err_pipe[0];
  }
  if (code != 0) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Child::read_available(int timeout_ms) {
  pollfd fds[2];
  nfds_t count = 0;
  for (const int fd : {out_fd_, err_fd_}) {
    if (fd >= 0) {
      fds[count++] = pollfd{fd, POLLIN, 0};
    }
  }
  if (count == 0) {
    std::this_thread::sleep_for(Milliseconds(timeout_ms));
    return;
  }
  if (::poll(fds, count, timeout_ms) <= 0) {
    return;
  }
  for (nfds_t i = 0; i < count; ++i) {
    if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
      continue;
    }
    char buffer[65536];
    const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
    const bool is_out = fds[i].fd == out_fd_;
    if (got > 0) {
      (is_out ? out_ : err_).append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      ::close(fds[i].fd);
      (is_out ? out_fd_ : err_fd_) = -1;
    }
  }
}

bool Child::pump_until(const std::function<bool()>& done, Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() >= deadline) {
      return false;
    }
    read_available(10);
  }
  return true;
}

bool Child::wait_for_out_bytes(std::size_t bytes, Milliseconds timeout) {
  return pump_until([&] { return out_.size() >= bytes; }, timeout);
}

bool Child::wait_for_err(const std::string& text, Milliseconds timeout) {
  return pump_until([&] { return err_.find(text) != std::string::npos; }, timeout);
}

void Child::close_out() {
  if (out_fd_ >= 0) {
    ::close(out_fd_);
    out_fd_ = -1;
  }
}

std::optional<int> Child::wait(Milliseconds timeout) {
  if (status_) {
    return status_;
  }
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      status_ = decode_status(status);
      // Whatever is left in the pipes, up to their end.
      while (out_fd_ >= 0 || err_fd_ >= 0) {
        if (Clock::now() >= deadline) {
          break;
        }
        read_available(10);
      }
      return status_;
    }
    if (Clock::now() >= deadline) {
      return std::nullopt;
    }
    read_available(10);
  }
}

void Child::signal(int number) {
  if (pid_ > 0 && !status_) {
    ::kill(pid_, number);
  }
}

std::optional<int> wait_for_pid(pid_t pid, Milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      return decode_status(status);
    }
    if (done < 0 || Clock::now() >= deadline) {
      return std::nullopt;
    }
    std::this_thread::sleep_for(Milliseconds(5));
  }
}

std::optional<std::string> command_output(const std::vector<std::string>& argv,
                                          const std::vector<std::string>& environment) {
  Child child;
  SpawnOptions options;
  options.environment = environment;
  if (!child.start(argv, options)) {
    return std::nullopt;
  }
  const auto status = child.wait(Milliseconds(20000));
  if (!status || *status != 0) {
    return std::nullopt;
  }
  return child.out();
}

double tone_power(const std::string& pcm, std::size_t first_byte, std::size_t bytes,
                  double frequency) {
  const std::size_t end = std::min(pcm.size(), first_byte + bytes) & ~std::size_t{1};
  const double omega = 2.0 * std::numbers::pi * frequency / 48000.0;
  const double coefficient = 2.0 * std::cos(omega);
  double s1 = 0;
  double s2 = 0;
  std::size_t count = 0;
  for (std::size_t at = first_byte & ~std::size_t{1}; at + 1 < end; at += 2) {
    const auto low = static_cast<unsigned char>(pcm[at]);
    const auto high = static_cast<unsigned char>(pcm[at + 1]);
    const auto sample = static_cast<std::int16_t>(low | (high << 8));
    const double s0 = sample / 32768.0 + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
    ++count;
  }
  if (count == 0) {
    return 0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return power / (static_cast<double>(count) * static_cast<double>(count));
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::optional<std::uint64_t> status_number(const std::string& status_path,
                                           const std::string& field) {
  std::ifstream file(status_path);
  const std::string prefix = field + ":";
  for (std::string line; std::getline(file, line);) {
    if (line.rfind(prefix, 0) == 0) {
      try {
        return std::stoull(line.substr(prefix.size()));
      } catch (const std::exception&) {
        return std::nullopt;
      }
    }
  }
  return std::nullopt;
}

std::optional<std::uint64_t> status_number(pid_t pid, const std::string& field) {
  return status_number("/proc/" + std::to_string(pid) + "/status", field);
}

void SlopeFit::add(double x, double y) {
  if (n_ == 0) {
    x0_ = x;
    y0_ = y;
  }
  x -= x0_;
  y -= y0_;
  ++n_;
  sx_ += x;
  sy_ += y;
  sxx_ += x * x;
  sxy_ += x * y;
}

double SlopeFit::slope() const {
  const double n = static_cast<double>(n_);
  const double denominator = n * sxx_ - sx_ * sx_;
  return n_ < 2 || denominator <= 0 ? 0 : (n * sxy_ - sx_ * sy_) / denominator;
}

TempFolder::TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/audio-host-test.XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) {
    path_ = pattern;
  }
}

TempFolder::~TempFolder() {
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
}

}  // namespace test_support
