// The host as a child process on Windows: CreateProcessW with inheritable
// pipe ends on its standard output and error, one reader thread per pipe
// (each polls its pipe, so that close_pcm can stop it at any moment and
// close this side), Ctrl+C on a shared console as the stop signal, and the
// process handle for the exit.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "host_process.h"
#include "text.h"
#include "win_handle.h"

namespace reference_client {
namespace {

using vantle::WinHandle;

std::wstring widen(const std::string& text) {
  const std::u16string wide = vantle::utf8_to_utf16_lossy(text);
  return std::wstring(wide.begin(), wide.end());
}

// Quotes one argument the way CommandLineToArgvW and the C runtime read it back.
std::wstring quote_argument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

std::string system_text(const char* context) {
  return std::string(context) + " failed with " + std::to_string(GetLastError());
}

std::atomic<bool> g_interrupted{false};

BOOL WINAPI on_console_signal(DWORD) {
  g_interrupted.store(true);
  return TRUE;  // handled: this program stops the capture itself
}

// One pipe read on a thread of its own into a shared buffer.
class PipeReader {
 public:
  PipeReader(std::mutex& mutex, std::condition_variable& changed, std::string& bytes)
      : mutex_(mutex), changed_(changed), bytes_(bytes) {}
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;
  ~PipeReader() { stop(); }

  void start(WinHandle read_end) {
    handle_ = std::move(read_end);
    thread_ = std::thread([this] { run(); });
  }
  // Stops reading and closes this side of the pipe.
  void stop() {
    stop_.store(true);
    if (thread_.joinable()) {
      thread_.join();
    }
    handle_.reset();
  }
  bool ended() const { return ended_.load(); }

 private:
  // Polls instead of blocking in ReadFile, so that stop() is never held up.
  void run() {
    char buffer[1 << 16];
    while (!stop_.load()) {
      DWORD available = 0;
      if (!PeekNamedPipe(handle_.get(), nullptr, 0, nullptr, &available, nullptr)) {
        break;  // the writer's end is closed
      }
      if (available == 0) {
        Sleep(2);
        continue;
      }
      DWORD got = 0;
      if (!ReadFile(handle_.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got,
                    nullptr)) {
        break;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      bytes_.append(buffer, got);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.store(true);
    changed_.notify_all();
  }

  std::mutex& mutex_;
  std::condition_variable& changed_;
  std::string& bytes_;
  WinHandle handle_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
};

}  // namespace

struct HostProcess::Impl {
  WinHandle process;
  ExitStatus status;
  bool exited = false;

  mutable std::mutex mutex;
  std::condition_variable changed;
  std::string pcm;
  std::string err_text;
  std::size_t err_taken = 0;
  // Declared after what they write into: they stop first.
  PipeReader out{mutex, changed, pcm};
  PipeReader err{mutex, changed, err_text};

  bool poll_exit(DWORD timeout_ms) {
    if (exited) {
      return true;
    }
    if (!process || WaitForSingleObject(process.get(), timeout_ms) != WAIT_OBJECT_0) {
      return false;
    }
    DWORD code = 0;
    (void)GetExitCodeProcess(process.get(), &code);
    status.exited = true;
    status.code = static_cast<int>(code);
    exited = true;
    return true;
  }
};

HostProcess::HostProcess() : impl_(std::make_unique<Impl>()) {}

HostProcess::~HostProcess() {
  kill();
}

vantle::Status HostProcess::start(const std::string& program,
                                  const std::vector<std::string>& arguments) {
  Impl& s = *impl_;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  WinHandle out_read, out_write, err_read, err_write;
  if (!CreatePipe(out_read.put(), out_write.put(), &inherit, 1 << 16) ||
      !CreatePipe(err_read.put(), err_write.put(), &inherit, 1 << 16)) {
    return vantle::make_error(system_text("CreatePipe"));
  }
  // This side's ends stay here.
  (void)SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
  (void)SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
  WinHandle null_input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   &inherit, OPEN_EXISTING, 0, nullptr));

  const std::wstring exe = widen(program);
  std::wstring command_line = quote_argument(exe);
  for (const std::string& argument : arguments) {
    command_line += L" " + quote_argument(widen(argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return vantle::make_error("cannot start " + program + ": " + system_text("CreateProcessW"));
  }
  WinHandle thread(info.hThread);
  s.process.reset(info.hProcess);
  // The child's ends close with out_write and err_write here, so the pipes
  // end when the host's copies do.
  s.out.start(std::move(out_read));
  s.err.start(std::move(err_read));
  return vantle::Status::success();
}

bool HostProcess::wait(std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!s.poll_exit(static_cast<DWORD>(timeout.count()))) {
    return false;
  }
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.changed.wait_until(lock, deadline, [&] { return s.out.ended() && s.err.ended(); });
}

void HostProcess::close_pcm() {
  impl_->out.stop();
}

vantle::Status HostProcess::send_stop_signal() {
  if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
    return vantle::make_error(system_text("GenerateConsoleCtrlEvent"));
  }
  return vantle::Status::success();
}

void HostProcess::kill() {
  Impl& s = *impl_;
  if (s.process && !s.poll_exit(0)) {
    (void)TerminateProcess(s.process.get(), 99);
    (void)s.poll_exit(10000);
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
  if (s.err.ended() && s.err_taken < s.err_text.size()) {
    lines.push_back(s.err_text.substr(s.err_taken));
    s.err_taken = s.err_text.size();
  }
  return lines;
}

std::string program_folder() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
  std::wstring folder(path, length);
  folder = folder.substr(0, folder.find_last_of(L"\\/") + 1);
  return vantle::utf16_to_utf8_lossy(folder.data(), folder.size());
}

std::string host_file_name() {
  return "audio-host.exe";
}

std::uint32_t current_process_id() {
  return GetCurrentProcessId();
}

void prepare_stop_signal() {
  // Ctrl+C reaches the processes of one console: take one of our own (the
  // host started after this shares it), keeping the standard handles.
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  (void)FreeConsole();
  (void)AllocConsole();
  (void)SetStdHandle(STD_OUTPUT_HANDLE, out);
  (void)SetStdHandle(STD_ERROR_HANDLE, err);
  (void)SetConsoleCtrlHandler(on_console_signal, TRUE);
}

void catch_interrupts() {
  (void)SetConsoleCtrlHandler(on_console_signal, TRUE);
}

bool interrupted() {
  return g_interrupted.load();
}

}  // namespace reference_client
