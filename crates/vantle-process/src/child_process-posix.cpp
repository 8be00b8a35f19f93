// A child process on POSIX systems: posix_spawnp with the standard streams
// set up by file actions, the pipes read with poll on the owner's thread,
// signals for stopping and waitpid for the exit.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "child_process.h"
#include "std_streams.h"
#include "unique_fd.h"

extern char** environ;

namespace vantle {
namespace {

using std::chrono::milliseconds;

constexpr std::size_t kReadSize = 1 << 16;

// posix_spawn's file actions or attributes: initialised in place and
// destroyed once by their owner (they are structures, not handles, so they
// do not fit UniqueResource). Used by one thread.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
 public:
  SpawnObject() : init_error_(Init(&object_)) {}
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  ~SpawnObject() {
    if (init_error_ == 0) {
      (void)Destroy(&object_);
    }
  }
  int init_error() const { return init_error_; }
  T* get() { return &object_; }

 private:
  T object_;
  int init_error_;
};
using SpawnFileActions = SpawnObject<posix_spawn_file_actions_t, &::posix_spawn_file_actions_init,
                                     &::posix_spawn_file_actions_destroy>;
using SpawnAttributes =
    SpawnObject<posix_spawnattr_t, &::posix_spawnattr_init, &::posix_spawnattr_destroy>;

// A failed call as "call: system text (os error N)".
Error call_failed(const std::string& call, int code) {
  return make_error(call + ": " + os_error_text(code));
}

// A pipe whose ends are closed in every program this one starts (the
// child's end reaches the child through dup2, which clears the flag).
Status make_pipe(UniqueFd& read_end, UniqueFd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    return call_failed("pipe2", errno);
  }
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  return Status::success();
}

Status open_for_child(const std::string& path, int flags, UniqueFd& fd) {
  fd.reset(::open(path.c_str(), flags | O_CLOEXEC));
  if (!fd) {
    return call_failed("open " + path, errno);
  }
  return Status::success();
}

Status add_dup2(SpawnFileActions& actions, int from, int to) {
  if (const int error = ::posix_spawn_file_actions_adddup2(actions.get(), from, to); error != 0) {
    return call_failed("posix_spawn_file_actions_adddup2", error);
  }
  return Status::success();
}

// Sets up descriptor `target` (1 or 2) of the child; `ours` receives this
// side's end of a pipe, `childs` what the child gets (closed here once the
// child has started).
Status prepare_output(OutputMode mode, const std::string& file, int target,
                      SpawnFileActions& actions, UniqueFd& ours, UniqueFd& childs) {
  Status prepared;
  switch (mode) {
    case OutputMode::pipe:
    case OutputMode::reader_gone:
      prepared = make_pipe(ours, childs);
      if (prepared && mode == OutputMode::reader_gone) {
        ours.reset();
      }
      break;
    case OutputMode::null_device:
      prepared = open_for_child("/dev/null", O_WRONLY, childs);
      break;
    case OutputMode::file:
      prepared = open_for_child(file, O_WRONLY, childs);
      break;
    case OutputMode::none:
      if (const int error = ::posix_spawn_file_actions_addclose(actions.get(), target);
          error != 0) {
        return call_failed("posix_spawn_file_actions_addclose", error);
      }
      return Status::success();
    case OutputMode::inherit:
      return Status::success();
  }
  if (!prepared) {
    return prepared;
  }
  return add_dup2(actions, childs.get(), target);
}

Status prepare_input(InputMode mode, SpawnFileActions& actions, UniqueFd& ours, UniqueFd& childs) {
  Status prepared = mode == InputMode::pipe ? make_pipe(childs, ours)
                                            : open_for_child("/dev/null", O_RDONLY, childs);
  if (!prepared) {
    return prepared;
  }
  return add_dup2(actions, childs.get(), 0);
}

// Default actions for every signal, none blocked, and the process group.
Status prepare_attributes(SpawnAttributes& attributes, bool own_group) {
  sigset_t none;
  sigset_t all;
  (void)::sigemptyset(&none);  // cannot fail for a valid set
  (void)::sigfillset(&all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (const int error = ::posix_spawnattr_setsigmask(attributes.get(), &none); error != 0) {
    return call_failed("posix_spawnattr_setsigmask", error);
  }
  if (const int error = ::posix_spawnattr_setsigdefault(attributes.get(), &all); error != 0) {
    return call_failed("posix_spawnattr_setsigdefault", error);
  }
  if (own_group) {
    flags |= POSIX_SPAWN_SETPGROUP;
    if (const int error = ::posix_spawnattr_setpgroup(attributes.get(), 0); error != 0) {
      return call_failed("posix_spawnattr_setpgroup", error);
    }
  }
  if (const int error = ::posix_spawnattr_setflags(attributes.get(), flags); error != 0) {
    return call_failed("posix_spawnattr_setflags", error);
  }
  return Status::success();
}

// Pointers to `strings`, ended by a null pointer, as exec takes them.
std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& text : strings) {
    pointers.push_back(text.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// waitpid for `pid`: how it ended, or nullopt while it runs (WNOHANG).
Result<std::optional<ExitStatus>> reap(pid_t pid, int flags) {
  int raw = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &raw, flags);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    return call_failed("waitpid", errno);
  }
  if (got == 0) {
    return std::optional<ExitStatus>();
  }
  if (WIFEXITED(raw)) {
    return std::optional<ExitStatus>(ExitStatus{true, WEXITSTATUS(raw)});
  }
  return std::optional<ExitStatus>(ExitStatus{false, WTERMSIG(raw)});
}

}  // namespace

// This side's ends of the child's pipes. The owner's thread only.
struct ChildProcess::State {
  UniqueFd out;
  UniqueFd err;
  UniqueFd in;
  bool out_paused = false;
  bool own_group = false;
  std::string buffer = std::string(kReadSize, '\0');
};

ChildProcess::ChildProcess() : state_(std::make_unique<State>()) {}

ChildProcess::~ChildProcess() {
  (void)kill();  // nothing to do with a failure here
}

Status ChildProcess::start(const std::vector<NativeString>& argv, const ChildOptions& options) {
  if (argv.empty()) {
    return make_error("cannot start a program: no program named");
  }
  const std::string failed = "cannot start " + argv[0] + ": ";
  const auto fail = [&](const Status& status) { return make_error(failed + status.error()); };
  if (started()) {
    return make_error(failed + "this child was started already");
  }
  State& s = *state_;
  SpawnFileActions actions;
  if (actions.init_error() != 0) {
    return fail(call_failed("posix_spawn_file_actions_init", actions.init_error()));
  }
  SpawnAttributes attributes;
  if (attributes.init_error() != 0) {
    return fail(call_failed("posix_spawnattr_init", attributes.init_error()));
  }
  // The child's ends, closed here once it has its copies.
  UniqueFd in_child;
  UniqueFd out_child;
  UniqueFd err_child;
  Status prepared = prepare_input(options.stdin_mode, actions, s.in, in_child);
  if (prepared) {
    prepared =
        prepare_output(options.stdout_mode, options.stdout_file, 1, actions, s.out, out_child);
  }
  if (prepared) {
    prepared =
        prepare_output(options.stderr_mode, options.stderr_file, 2, actions, s.err, err_child);
  }
  if (prepared) {
    prepared = prepare_attributes(attributes, options.own_process_group);
  }
  if (!prepared) {
    s = State();
    return fail(prepared);
  }

  std::vector<std::string> arguments = argv;
  std::vector<char*> argument_pointers = pointers_to(arguments);
  std::vector<std::string> environment;
  std::vector<char*> environment_pointers;
  char** envp = environ;
  if (!options.environment.empty() || !options.unset.empty()) {
    std::vector<std::string> inherited;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      inherited.emplace_back(*entry);
    }
    environment = detail::merge_environment(inherited, options, false);
    environment_pointers = pointers_to(environment);
    envp = environment_pointers.data();
  }

  pid_t pid = -1;
  if (const int error = ::posix_spawnp(&pid, argv[0].c_str(), actions.get(), attributes.get(),
                                       argument_pointers.data(), envp);
      error != 0) {
    s = State();
    return make_error(failed + os_error_text(error));
  }
  pid_ = static_cast<std::uint32_t>(pid);
  s.own_group = options.own_process_group;
  out_ended_ = !s.out;
  err_ended_ = !s.err;
  return Status::success();
}

void ChildProcess::pump(milliseconds timeout) {
  State& s = *state_;
  pollfd fds[2];
  nfds_t count = 0;
  if (s.out && !s.out_paused) {
    fds[count++] = pollfd{s.out.get(), POLLIN, 0};
  }
  if (s.err) {
    fds[count++] = pollfd{s.err.get(), POLLIN, 0};
  }
  if (count == 0) {
    std::this_thread::sleep_for(timeout);
    return;
  }
  const int ready = ::poll(fds, count, static_cast<int>(timeout.count()));
  if (ready < 0 && errno != EINTR) {
    // Nothing can be read any more: the streams end with the failure.
    if (read_status_) {
      read_status_ = call_failed("poll", errno);
    }
    s.out.reset();
    s.err.reset();
    out_ended_ = err_ended_ = true;
    return;
  }
  for (nfds_t i = 0; ready > 0 && i < count; ++i) {
    if (fds[i].revents == 0) {
      continue;
    }
    const bool is_out = s.out && fds[i].fd == s.out.get();
    UniqueFd& fd = is_out ? s.out : s.err;
    const ssize_t got = ::read(fd.get(), s.buffer.data(), s.buffer.size());
    if (got > 0) {
      (is_out ? out_ : err_).append(s.buffer.data(), static_cast<std::size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0 && read_status_) {
      read_status_ = call_failed("read", errno);
    }
    fd.reset();  // the end of the pipe, or a failure: nothing more comes
    (is_out ? out_ended_ : err_ended_) = true;
  }
}

void ChildProcess::close_stdout_reader() {
  state_->out.reset();
  out_ended_ = true;
}

void ChildProcess::pause_stdout_reader() {
  state_->out_paused = true;
}

void ChildProcess::resume_stdout_reader() {
  state_->out_paused = false;
}

void ChildProcess::close_stdin() {
  state_->in.reset();
}

Status ChildProcess::send_stop_signal() {
  return send_signal(SIGINT);
}

Status ChildProcess::send_signal(int number) {
  if (!started() || exit_status_) {
    return Status::success();  // its PID may belong to another process by now
  }
  if (::kill(static_cast<pid_t>(pid_), number) != 0) {
    return call_failed("kill", errno);
  }
  return Status::success();
}

Status ChildProcess::kill() {
  if (!started()) {
    return Status::success();
  }
  const auto pid = static_cast<pid_t>(pid_);
  Status status;
  // The group may live on after its leader ended.
  if (state_->own_group && ::kill(-pid, SIGKILL) != 0 && errno != ESRCH) {
    status = call_failed("kill", errno);
  }
  if (exit_status_) {
    return status;
  }
  if (::kill(pid, SIGKILL) != 0) {
    return call_failed("kill", errno);
  }
  Result<std::optional<ExitStatus>> ended = reap(pid, 0);
  if (!ended) {
    return std::move(ended).take_error();
  }
  exit_status_ = ended.value();
  return status;
}

Result<bool> ChildProcess::await_exit(milliseconds timeout) {
  const auto pid = static_cast<pid_t>(pid_);
  for (int attempt = 0; attempt < 2; ++attempt) {
    Result<std::optional<ExitStatus>> ended = reap(pid, WNOHANG);
    if (!ended) {
      return std::move(ended).take_error();
    }
    if (ended.value()) {
      exit_status_ = ended.value();
      return true;
    }
    if (attempt == 0) {
      pump(timeout);
    }
  }
  return false;
}

NativeString to_native_string(std::string_view utf8) {
  return std::string(utf8);
}

std::string from_native_string(const NativeString& text) {
  return text;
}

Result<NativeString> program_folder() {
  for (std::size_t size = 256;; size *= 2) {
    std::string path(size, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) {
      return call_failed("readlink /proc/self/exe", errno);
    }
    if (static_cast<std::size_t>(length) < size) {
      path.resize(static_cast<std::size_t>(length));
      return path.substr(0, path.rfind('/') + 1);
    }
  }
}

Status prepare_stop_signal() {
  return Status::success();
}

}  // namespace vantle
