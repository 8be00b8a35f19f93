// The host as a child process on POSIX systems: posix_spawnp with the pipes
// on its standard output and error, one reader thread that polls both (and a
// wake-up pipe through which close_pcm and the destructor reach it), SIGINT
// as the stop signal, and waitpid for the exit.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "host_process.h"
#include "unique_resource.h"

extern char** environ;

namespace reference_client {
namespace {

struct FdTraits {
  using Value = int;
  static constexpr int invalid() { return -1; }
  static bool is_valid(int fd) { return fd >= 0; }
  static void close(int fd) { (void)::close(fd); }
};
using UniqueFd = vantle::UniqueResource<FdTraits>;

// A pipe whose ends are closed in every program this one starts (the
// child's ends reach it through dup2, which clears the flag).
vantle::Status make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int fds[2];
  if (::pipe(fds) != 0) {
    return vantle::make_error(std::string("pipe: ") + std::strerror(errno));
  }
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  (void)::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  (void)::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return vantle::Status::success();
}

volatile sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
  g_interrupted = 1;
}

}  // namespace

struct HostProcess::Impl {
  pid_t pid = -1;
  bool reaped = false;
  ExitStatus status;
  UniqueFd wake_write;  // this thread's; the reader owns everything below

  std::thread reader;
  UniqueFd out, err, wake_read;

  mutable std::mutex mutex;
  std::condition_variable drained;
  std::string pcm;
  std::string err_text;
  std::size_t err_taken = 0;
  bool close_out_asked = false;
  bool stop_asked = false;
  bool done = false;  // both pipes at their end, or reading stopped

  void wake() {
    const char byte = 1;
    (void)!::write(wake_write.get(), &byte, 1);
  }

  void read_loop() {
    char buffer[1 << 16];
    while (out || err) {
      pollfd fds[3] = {
          {wake_read.get(), POLLIN, 0}, {out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
      if (::poll(fds, 3, -1) < 0) {
        if (errno == EINTR) {
          continue;
        }
        break;
      }
      if (fds[0].revents != 0) {
        (void)!::read(wake_read.get(), buffer, sizeof buffer);
        std::lock_guard<std::mutex> lock(mutex);
        if (stop_asked) {
          break;
        }
        if (close_out_asked) {
          out.reset();
          continue;
        }
      }
      for (int i = 1; i <= 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) {
          continue;
        }
        UniqueFd& fd = i == 1 ? out : err;
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
          continue;
        }
        if (got <= 0) {
          fd.reset();  // the end of the pipe (or an error: nothing more comes)
          continue;
        }
        std::lock_guard<std::mutex> lock(mutex);
        (i == 1 ? pcm : err_text).append(buffer, std::size_t(got));
      }
    }
    out.reset();
    err.reset();
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    drained.notify_all();
  }

  bool try_reap(int flags) {
    if (reaped || pid < 0) {
      return reaped;
    }
    int raw = 0;
    pid_t got;
    do {
      got = ::waitpid(pid, &raw, flags);
    } while (got < 0 && errno == EINTR);
    if (got != pid) {
      return false;
    }
    reaped = true;
    status.exited = WIFEXITED(raw);
    status.code = status.exited ? WEXITSTATUS(raw) : WTERMSIG(raw);
    return true;
  }

  void stop_reader() {
    if (reader.joinable()) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        stop_asked = true;
      }
      wake();
      reader.join();
    }
  }
};

HostProcess::HostProcess() : impl_(std::make_unique<Impl>()) {}

HostProcess::~HostProcess() {
  kill();
  impl_->stop_reader();
}

vantle::Status HostProcess::start(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  Impl& s = *impl_;
  UniqueFd out_write, err_write;
  for (auto [read_end, write_end] : {std::pair{&s.out, &out_write}, std::pair{&s.err, &err_write},
                                     std::pair{&s.wake_read, &s.wake_write}}) {
    if (auto made = make_pipe(*read_end, *write_end); !made) {
      return made;
    }
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err_write.get(), 2);
  std::vector<std::string> strings = {program};
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : strings) {
    argv.push_back(text.data());
  }
  argv.push_back(nullptr);
  const int error =
      ::posix_spawnp(&s.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    s.pid = -1;
    return vantle::make_error("cannot start " + program + ": " + std::strerror(error));
  }
  // The child's ends close here (out_write, err_write), so the pipes end
  // when the host's copies do.
  s.reader = std::thread([&s] { s.read_loop(); });
  return vantle::Status::success();
}

bool HostProcess::wait(std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  if (s.pid < 0) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!s.try_reap(WNOHANG)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.drained.wait_until(lock, deadline, [&] { return s.done; });
}

void HostProcess::close_pcm() {
  Impl& s = *impl_;
  if (!s.reader.joinable()) {
    return;
  }
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.close_out_asked = true;
  }
  s.wake();
}

vantle::Status HostProcess::send_stop_signal() {
  Impl& s = *impl_;
  if (s.pid < 0 || s.reaped) {
    return vantle::Status::success();
  }
  if (::kill(s.pid, SIGINT) != 0) {
    return vantle::make_error(std::string("kill: ") + std::strerror(errno));
  }
  return vantle::Status::success();
}

void HostProcess::kill() {
  Impl& s = *impl_;
  if (s.pid >= 0 && !s.reaped) {
    (void)::kill(s.pid, SIGKILL);
    (void)s.try_reap(0);
  }
}

ExitStatus HostProcess::exit_status() const {
  return impl_->status;
}

std::string HostProcess::pcm() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->pcm;
}

std::vector<std::string> HostProcess::take_stderr_lines() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lock(s.mutex);
  std::vector<std::string> lines;
  std::size_t end;
  while ((end = s.err_text.find('\n', s.err_taken)) != std::string::npos) {
    lines.push_back(s.err_text.substr(s.err_taken, end + 1 - s.err_taken));
    s.err_taken = end + 1;
  }
  if (s.done && s.err_taken < s.err_text.size()) {
    lines.push_back(s.err_text.substr(s.err_taken));
    s.err_taken = s.err_text.size();
  }
  return lines;
}

std::string program_folder() {
  std::string path(4096, '\0');
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
  if (length <= 0) {
    return {};
  }
  path.resize(std::size_t(length));
  return path.substr(0, path.rfind('/') + 1);
}

std::string host_file_name() {
  return "audio-host";
}

std::uint32_t current_process_id() {
  return static_cast<std::uint32_t>(::getpid());
}

void prepare_stop_signal() {}

void catch_interrupts() {
  struct sigaction action {};
  action.sa_handler = on_interrupt;
  sigemptyset(&action.sa_mask);
  (void)::sigaction(SIGINT, &action, nullptr);
  (void)::sigaction(SIGTERM, &action, nullptr);
}

bool interrupted() {
  return g_interrupted != 0;
}

}  // namespace reference_client
