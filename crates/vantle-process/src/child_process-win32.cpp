// A child process on Windows: CreateProcessW with inheritable handles on its
// standard streams, one reader thread per pipe (each polls its pipe, so that
// it can be stopped, and its end closed, at any moment), Ctrl+C on a shared
// console as the stop signal, and the process handle for the exit.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "child_process.h"
#include "std_streams.h"
#include "text.h"
#include "win_handle.h"

namespace vantle {
namespace {

using std::chrono::milliseconds;

constexpr DWORD kPipeSize = 1 << 16;
// How long a reader sleeps when its pipe is empty or it is paused.
constexpr DWORD kReaderNap = 2;
// The exit code of a child ended by kill(), and how long kill() waits.
constexpr UINT kKilledExitCode = 99;
constexpr DWORD kKillWaitMs = 10000;

// GetEnvironmentStringsW's block, freed with FreeEnvironmentStringsW.
using EnvironmentStrings = UniquePointer<wchar_t, &FreeEnvironmentStringsW>;

Error call_failed(const std::string& call, DWORD code) {
  return make_error(call + ": " + os_error_text(static_cast<std::int32_t>(code)));
}

Error last_error(const std::string& call) {
  return call_failed(call, GetLastError());
}

// Shared state: while this process holds inheritable handles made for a
// child, this lock is held, so that a child started by another thread at the
// same time cannot inherit them.
std::mutex& inheritable_handles_lock() {
  static std::mutex lock;
  return lock;
}

SECURITY_ATTRIBUTES inheritable() {
  return SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
}

// A pipe whose `child_end` is inheritable and `our_end` is not.
Status make_pipe(WinHandle& read_end, WinHandle& write_end, bool child_reads) {
  SECURITY_ATTRIBUTES inherit = inheritable();
  if (!CreatePipe(read_end.put(), write_end.put(), &inherit, kPipeSize)) {
    return last_error("CreatePipe");
  }
  const HANDLE ours = child_reads ? write_end.get() : read_end.get();
  if (!SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0)) {
    return last_error("SetHandleInformation");
  }
  return Status::success();
}

Status open_for_child(const std::wstring& path, DWORD access, WinHandle& handle) {
  SECURITY_ATTRIBUTES inherit = inheritable();
  handle.reset(CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr));
  if (!handle) {
    return last_error("open " + from_native_string(path));
  }
  return Status::success();
}

// An inheritable copy of this process's standard handle `which` (none
// when it has none).
Status inherit_standard_handle(DWORD which, WinHandle& handle) {
  const HANDLE own = GetStdHandle(which);
  if (own == nullptr || own == INVALID_HANDLE_VALUE) {
    return Status::success();
  }
  if (!DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), handle.put(), 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return last_error("DuplicateHandle");
  }
  return Status::success();
}

// `ours` receives this side's end of a pipe, `childs` what the child gets.
Status prepare_output(OutputMode mode, const std::wstring& file, DWORD which, WinHandle& ours,
                      WinHandle& childs) {
  switch (mode) {
    case OutputMode::pipe:
      return make_pipe(ours, childs, false);
    case OutputMode::reader_gone: {
      Status made = make_pipe(ours, childs, false);
      ours.reset();
      return made;
    }
    case OutputMode::null_device:
      return open_for_child(L"NUL", GENERIC_WRITE, childs);
    case OutputMode::file:
      return open_for_child(file, GENERIC_WRITE, childs);
    case OutputMode::none:
      return Status::success();
    case OutputMode::inherit:
      return inherit_standard_handle(which, childs);
  }
  return Status::success();
}

// The environment block CreateProcessW takes (UTF-16 entries, each ended by
// a null character, and one more at the end); empty: inherit this one.
Result<std::wstring> environment_block(const ChildOptions& options) {
  if (options.environment.empty() && options.unset.empty()) {
    return std::wstring();
  }
  const EnvironmentStrings current(GetEnvironmentStringsW());
  if (!current) {
    return last_error("GetEnvironmentStringsW");
  }
  std::vector<std::wstring> inherited;
  for (const wchar_t* entry = current.get(); *entry != L'\0'; entry += wcslen(entry) + 1) {
    inherited.emplace_back(entry);
  }
  std::wstring block;
  for (const std::wstring& entry : detail::merge_environment(inherited, options, true)) {
    block += entry;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace

// One pipe read on a thread of its own. `handle` and `thread` belong to the
// owner, which starts and stops the thread; `stop` and `paused` are the
// owner's requests; `pending`, `ended` and `failure` are written by the
// thread and read by the owner, both under the child's lock.
struct Reader {
  std::mutex* lock = nullptr;
  std::condition_variable* changed = nullptr;
  WinHandle handle;
  WinHandle thread;
  std::atomic<bool> stop{false};
  std::atomic<bool> paused{false};
  std::string pending;
  bool ended = true;  // no pipe: nothing comes
  std::optional<std::string> failure;

  static DWORD WINAPI main(void* self) {
    static_cast<Reader*>(self)->run();
    return 0;
  }

  // Polls instead of blocking in ReadFile, so that stop() is never held up.
  void run() {
    char buffer[1 << 16];
    std::optional<std::string> failed;
    while (!stop.load()) {
      if (paused.load()) {
        Sleep(kReaderNap);
        continue;
      }
      DWORD available = 0;
      if (!PeekNamedPipe(handle.get(), nullptr, 0, nullptr, &available, nullptr)) {
        const DWORD code = GetLastError();
        if (code != ERROR_BROKEN_PIPE) {  // else the writers' ends are all closed
          failed = call_failed("PeekNamedPipe", code).message;
        }
        break;
      }
      if (available == 0) {
        Sleep(kReaderNap);
        continue;
      }
      DWORD got = 0;
      if (!ReadFile(handle.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got,
                    nullptr)) {
        const DWORD code = GetLastError();
        if (code != ERROR_BROKEN_PIPE) {
          failed = call_failed("ReadFile", code).message;
        }
        break;
      }
      std::lock_guard<std::mutex> guard(*lock);
      pending.append(buffer, got);
      changed->notify_all();
    }
    std::lock_guard<std::mutex> guard(*lock);
    ended = true;
    failure = std::move(failed);
    changed->notify_all();
  }

  Status start(WinHandle read_end) {
    handle = std::move(read_end);
    ended = false;
    thread.reset(CreateThread(nullptr, 0, &Reader::main, this, 0, nullptr));
    if (!thread) {
      ended = true;
      return last_error("CreateThread");
    }
    return Status::success();
  }

  // Stops the thread and closes this side of the pipe.
  void stop_reading() {
    stop.store(true);
    if (thread) {
      // Waiting on a thread handle of our own fails only for a bad handle.
      (void)WaitForSingleObject(thread.get(), INFINITE);
      thread.reset();
    }
    handle.reset();
  }
};

// The child's handles and readers. The owner's thread only, but for the
// readers' shared members (see Reader).
struct ChildProcess::State {
  std::mutex lock;
  std::condition_variable changed;
  Reader out;
  Reader err;
  WinHandle process;
  WinHandle in;

  State() {
    for (Reader* reader : {&out, &err}) {
      reader->lock = &lock;
      reader->changed = &changed;
    }
  }
  ~State() {
    out.stop_reading();
    err.stop_reading();
  }
};

namespace {

// Moves what `reader` has read into the owner's `bytes`. Under the lock.
void take(Reader& reader, std::string& bytes, bool& ended, Status& read_status) {
  bytes += reader.pending;
  reader.pending.clear();
  if (reader.ended && !ended) {
    ended = true;
    if (reader.failure && read_status) {
      read_status = make_error(*reader.failure);
    }
  }
}

}  // namespace

ChildProcess::ChildProcess() : state_(std::make_unique<State>()) {}

ChildProcess::~ChildProcess() {
  (void)kill();  // nothing to do with a failure here
}

void* ChildProcess::process_handle() const {
  return state_->process.get();
}

Status ChildProcess::start(const std::vector<NativeString>& argv, const ChildOptions& options) {
  if (argv.empty()) {
    return make_error("cannot start a program: no program named");
  }
  const std::string failed = "cannot start " + from_native_string(argv[0]) + ": ";
  const auto fail = [&](const Status& status) { return make_error(failed + status.error()); };
  if (started()) {
    return make_error(failed + "this child was started already");
  }
  State& s = *state_;
  Result<std::wstring> environment = environment_block(options);
  if (!environment) {
    return fail(std::move(environment).take_error());
  }
  std::wstring command_line;
  for (const std::wstring& argument : argv) {
    command_line += (command_line.empty() ? L"" : L" ") + quote_argument(argument);
  }

  WinHandle out_read;
  WinHandle err_read;
  PROCESS_INFORMATION info{};
  {
    const std::lock_guard<std::mutex> guard(inheritable_handles_lock());
    // The child's ends, closed here once it has its copies.
    WinHandle in_child;
    WinHandle out_child;
    WinHandle err_child;
    Status prepared = options.stdin_mode == InputMode::pipe
                          ? make_pipe(in_child, s.in, true)
                          : open_for_child(L"NUL", GENERIC_READ, in_child);
    if (prepared) {
      prepared = prepare_output(options.stdout_mode, options.stdout_file, STD_OUTPUT_HANDLE,
                                out_read, out_child);
    }
    if (prepared) {
      prepared = prepare_output(options.stderr_mode, options.stderr_file, STD_ERROR_HANDLE,
                                err_read, err_child);
    }
    if (!prepared) {
      s.in.reset();
      return fail(prepared);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_child.get();
    startup.hStdOutput = out_child.get();
    startup.hStdError = err_child.get();
    if (!CreateProcessW(argv[0].c_str(), command_line.data(), nullptr, nullptr, TRUE,
                        options.creation_flags | CREATE_UNICODE_ENVIRONMENT,
                        environment.value().empty() ? nullptr : environment.value().data(), nullptr,
                        &startup, &info)) {
      const DWORD code = GetLastError();
      s.in.reset();
      return make_error(failed + os_error_text(static_cast<std::int32_t>(code)));
    }
  }
  const WinHandle thread(info.hThread);
  s.process.reset(info.hProcess);
  pid_ = info.dwProcessId;
  for (auto [reader, read_end, ended] :
       {std::tuple{&s.out, &out_read, &out_ended_}, std::tuple{&s.err, &err_read, &err_ended_}}) {
    *ended = !*read_end;
    if (!*read_end) {
      continue;
    }
    *ended = false;
    if (Status reading = reader->start(std::move(*read_end)); !reading) {
      (void)kill();
      return fail(reading);
    }
  }
  return Status::success();
}

void ChildProcess::pump(milliseconds timeout) {
  State& s = *state_;
  std::unique_lock<std::mutex> guard(s.lock);
  const auto news = [&] {
    return !s.out.pending.empty() || !s.err.pending.empty() || (s.out.ended && !out_ended_) ||
           (s.err.ended && !err_ended_);
  };
  if (timeout.count() > 0) {
    (void)s.changed.wait_for(guard, timeout, news);
  }
  take(s.out, out_, out_ended_, read_status_);
  take(s.err, err_, err_ended_, read_status_);
}

void ChildProcess::close_stdout_reader() {
  State& s = *state_;
  s.out.stop_reading();
  std::lock_guard<std::mutex> guard(s.lock);
  take(s.out, out_, out_ended_, read_status_);
  out_ended_ = true;
}

void ChildProcess::pause_stdout_reader() {
  state_->out.paused.store(true);
}

void ChildProcess::resume_stdout_reader() {
  state_->out.paused.store(false);
}

void ChildProcess::close_stdin() {
  state_->in.reset();
}

Status ChildProcess::send_stop_signal() {
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    return last_error("GenerateConsoleCtrlEvent");
  }
  return Status::success();
}

Status ChildProcess::kill() {
  if (!started() || exit_status_) {
    return Status::success();
  }
  Result<bool> ended = await_exit(milliseconds(0));
  if (!ended || ended.value()) {
    return ended ? Status::success() : Status(std::move(ended).take_error());
  }
  if (!TerminateProcess(state_->process.get(), kKilledExitCode)) {
    const DWORD code = GetLastError();
    // It may have ended by itself in the meantime.
    if (Result<bool> gone = await_exit(milliseconds(0)); !gone || !gone.value()) {
      return call_failed("TerminateProcess", code);
    }
    return Status::success();
  }
  ended = await_exit(milliseconds(kKillWaitMs));
  if (!ended) {
    return std::move(ended).take_error();
  }
  return ended.value() ? Status::success() : make_error("the killed child did not end");
}

Result<bool> ChildProcess::await_exit(milliseconds timeout) {
  const HANDLE process = state_->process.get();
  switch (WaitForSingleObject(process, static_cast<DWORD>(timeout.count()))) {
    case WAIT_OBJECT_0:
      break;
    case WAIT_TIMEOUT:
      return false;
    default:
      return last_error("WaitForSingleObject");
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) {
    return last_error("GetExitCodeProcess");
  }
  exit_status_ = ExitStatus{true, static_cast<int>(code)};
  return true;
}

NativeString to_native_string(std::string_view utf8) {
  const std::u16string wide = utf8_to_utf16_lossy(utf8);
  return std::wstring(wide.begin(), wide.end());
}

std::string from_native_string(const NativeString& text) {
  return utf16_to_utf8_lossy(text.data(), text.size());
}

Result<NativeString> program_folder() {
  // Paths are at most 32767 characters long.
  for (DWORD size = MAX_PATH; size <= 65536; size *= 2) {
    std::wstring path(size, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), size);
    if (length == 0) {
      return last_error("GetModuleFileNameW");
    }
    if (length < size) {
      path.resize(length);
      return path.substr(0, path.find_last_of(L"\\/") + 1);
    }
  }
  return make_error("GetModuleFileNameW: the path does not fit");
}

namespace {
BOOL WINAPI survive_stop_signal(DWORD) {
  return TRUE;  // handled: this process sent it to its children
}
}  // namespace

Status prepare_stop_signal() {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  // Fails only when there is no console to leave.
  (void)FreeConsole();
  if (!AllocConsole()) {
    return last_error("AllocConsole");
  }
  // The new console's handles replaced ours.
  if (!SetStdHandle(STD_OUTPUT_HANDLE, out) || !SetStdHandle(STD_ERROR_HANDLE, err)) {
    return last_error("SetStdHandle");
  }
  if (!SetConsoleCtrlHandler(survive_stop_signal, TRUE)) {
    return last_error("SetConsoleCtrlHandler");
  }
  return Status::success();
}

}  // namespace vantle
