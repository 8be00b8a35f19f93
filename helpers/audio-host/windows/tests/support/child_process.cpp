#include "child_process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace test_support {

struct Child::Stream {
  vantle::WinHandle read;
  std::thread reader;
  std::atomic<bool> stop{false};
  std::atomic<bool> paused{false};
  mutable std::mutex mutex;
  std::condition_variable changed;
  std::string bytes;
  bool ended = false;

  // Polls instead of blocking in ReadFile, so that the test can stop reading
  // and close its end at any moment (a reader that goes away), or pause.
  void run() {
    char buffer[1 << 16];
    while (!stop.load()) {
      if (paused.load()) {
        Sleep(2);
        continue;
      }
      DWORD available = 0;
      if (!PeekNamedPipe(read.get(), nullptr, 0, nullptr, &available, nullptr)) {
        break;  // the writer's end is closed
      }
      if (available == 0) {
        Sleep(2);
        continue;
      }
      DWORD got = 0;
      if (!ReadFile(read.get(), buffer, std::min<DWORD>(available, sizeof buffer), &got, nullptr)) {
        break;
      }
      std::lock_guard<std::mutex> lock(mutex);
      bytes.append(buffer, got);
      changed.notify_all();
    }
    std::lock_guard<std::mutex> lock(mutex);
    ended = true;
    changed.notify_all();
  }
  void finish() {
    if (reader.joinable())
      reader.join();
    read.reset();
  }
  std::string snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
  }
};

std::wstring program_folder() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
  std::wstring folder(path, length);
  return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

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

std::wstring widen(const std::string& text) {
  if (text.empty())
    return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(length, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
  return wide;
}

std::string narrow(const std::wstring& text) {
  if (text.empty())
    return {};
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(length, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), length, nullptr,
                      nullptr);
  return bytes;
}

namespace {

// The inherited environment plus `extra`, as a CreateProcessW block.
std::wstring environment_block(const std::vector<std::wstring>& extra) {
  std::wstring block;
  wchar_t* current = GetEnvironmentStringsW();
  for (const wchar_t* p = current; *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    bool replaced = false;
    for (const auto& e : extra) {
      const auto name = e.substr(0, e.find(L'=') + 1);
      if (_wcsnicmp(entry.c_str(), name.c_str(), name.size()) == 0)
        replaced = true;
    }
    if (!replaced) {
      block += entry;
      block.push_back(L'\0');
    }
  }
  FreeEnvironmentStringsW(current);
  for (const auto& e : extra) {
    block += e;
    block.push_back(L'\0');
  }
  block.push_back(L'\0');
  return block;
}

}  // namespace

Child::Child() = default;

Child::~Child() {
  if (process_) {
    kill();
  }
  join_readers();
}

bool Child::start(const std::wstring& exe, const std::vector<std::wstring>& arguments,
                  const ChildOptions& options) {
  using vantle::WinHandle;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  // Our ends are not inherited; the child's ends go when it has them.
  WinHandle out_read, out_write, err_read, err_write, in_read;
  switch (options.stdout_mode) {
    case ChildOptions::Stdout::pipe:
    case ChildOptions::Stdout::reader_gone:
      CreatePipe(out_read.put(), out_write.put(), &inherit, 1 << 16);
      SetHandleInformation(out_read.get(), HANDLE_FLAG_INHERIT, 0);
      if (options.stdout_mode == ChildOptions::Stdout::reader_gone) {
        out_read.reset();
      }
      break;
    case ChildOptions::Stdout::none:
      break;
    case ChildOptions::Stdout::file:
      out_write.reset(CreateFileW(options.stdout_file.c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                  nullptr));
      break;
  }
  CreatePipe(err_read.put(), err_write.put(), &inherit, 1 << 16);
  SetHandleInformation(err_read.get(), HANDLE_FLAG_INHERIT, 0);
  if (options.stdin_pipe) {
    CreatePipe(in_read.put(), stdin_write_.put(), &inherit, 1 << 16);
    SetHandleInformation(stdin_write_.get(), HANDLE_FLAG_INHERIT, 0);
  } else {
    in_read.reset(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                              OPEN_EXISTING, 0, nullptr));
  }

  std::wstring command_line = quote_argument(exe);
  for (const auto& a : arguments) {
    command_line += L" " + quote_argument(a);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read.get();
  startup.hStdOutput = out_write.get();
  startup.hStdError = err_write.get();
  PROCESS_INFORMATION info{};
  std::wstring environment;
  if (!options.environment.empty()) {
    environment = environment_block(options.environment);
  }
  const BOOL started =
      CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE,
                     options.creation_flags | CREATE_UNICODE_ENVIRONMENT,
                     environment.empty() ? nullptr : environment.data(), nullptr, &startup, &info);
  const DWORD start_error = GetLastError();
  if (!started) {
    error_ = "CreateProcessW failed with " + std::to_string(start_error);
    return false;
  }
  const WinHandle thread(info.hThread);
  process_.reset(info.hProcess);
  pid_ = info.dwProcessId;
  if (out_read) {
    out_ = std::make_unique<Stream>();
    out_->read = std::move(out_read);
    out_->reader = std::thread([s = out_.get()] { s->run(); });
  }
  err_ = std::make_unique<Stream>();
  err_->read = std::move(err_read);
  err_->reader = std::thread([s = err_.get()] { s->run(); });
  return true;
}

void Child::close_stdout_reader() {
  if (out_ != nullptr) {
    out_->stop.store(true);
    out_->finish();
  }
}

void Child::pause_stdout_reader() {
  if (out_ != nullptr)
    out_->paused.store(true);
}

void Child::resume_stdout_reader() {
  if (out_ != nullptr)
    out_->paused.store(false);
}

void Child::close_stdin() {
  stdin_write_.reset();
}

bool Child::wait(DWORD timeout_ms) {
  if (!process_)
    return false;
  if (WaitForSingleObject(process_.get(), timeout_ms) != WAIT_OBJECT_0) {
    kill();
    return false;
  }
  GetExitCodeProcess(process_.get(), &exit_code_);
  join_readers();
  return true;
}

void Child::kill() {
  if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
    TerminateProcess(process_.get(), 99);
    WaitForSingleObject(process_.get(), 10000);
  }
}

void Child::join_readers() {
  // The collected bytes stay readable until the Child goes.
  if (out_ != nullptr)
    out_->finish();
  if (err_ != nullptr)
    err_->finish();
}

std::string Child::out() const {
  return out_ ? out_->snapshot() : std::string();
}
std::string Child::err() const {
  return err_ ? err_->snapshot() : std::string();
}

std::string Child::wait_for_out(std::size_t size, DWORD timeout_ms) {
  if (out_ == nullptr)
    return {};
  std::unique_lock<std::mutex> lock(out_->mutex);
  out_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                         [&] { return out_->bytes.size() >= size || out_->ended; });
  return out_->bytes;
}

bool Child::wait_for_err(const std::string& text, DWORD timeout_ms) {
  if (err_ == nullptr)
    return false;
  std::unique_lock<std::mutex> lock(err_->mutex);
  return err_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    return err_->bytes.find(text) != std::string::npos || err_->ended;
  }) && err_->bytes.find(text) != std::string::npos;
}

RunOutput run(const std::wstring& exe, const std::vector<std::wstring>& arguments,
              const ChildOptions& options, DWORD timeout_ms) {
  RunOutput output;
  Child child;
  if (!child.start(exe, arguments, options)) {
    output.err = child.error();
    return output;
  }
  output.finished = child.wait(timeout_ms);
  output.exit_code = child.exit_code();
  output.out = child.out();
  output.err = child.err();
  return output;
}

}  // namespace test_support
