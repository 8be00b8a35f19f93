// window-helper.exe: a stand-in application for the end-to-end tests. It
// opens top-level windows, some visible and some hidden, tells on standard
// output who it is, and stays alive until its standard input closes (or it
// is killed), so that a test decides when it goes away.
//
//   window-helper.exe [--visible N] [--hidden M] [--title TEXT]
//
// Defaults: one visible window, no hidden one, the title "window-helper".
// Once every window exists it writes one line to standard output:
//   {"pid":1234,"exe":"Z:\\...\\window-helper.exe","start_time":133...}
// with its own PID, its path as QueryFullProcessImageNameW gives it and its
// creation time from GetProcessTimes (the FILETIME as one 64-bit count).
// Bad arguments or a failed window (for example without a display under
// Wine) end it with a message on standard error and exit status 2.
//
// With --visible 0 --hidden 0 it is a plain process without windows (and
// needs no display).
//
// Threads: the main thread owns the windows and runs their message loop; a
// second thread only reads standard input and, at its end, posts WM_QUIT to
// the main thread. Without windows the main thread reads standard input
// itself.
#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <thread>

#include "json.h"
#include "std_streams.h"
#include "text.h"

namespace {

struct Options {
  unsigned long visible = 1;
  unsigned long hidden = 0;
  std::wstring title = L"window-helper";
};

int fail(const std::string& message) {
  const std::string line = "window-helper: " + message + "\n";
  (void)vantle::write_all(vantle::StandardStream::error, line.data(), line.size());
  return 2;
}

bool parse_count(const wchar_t* text, unsigned long& count) {
  wchar_t* end = nullptr;
  count = std::wcstoul(text, &end, 10);
  return *text >= L'0' && *text <= L'9' && *end == L'\0' && count <= 1000;
}

bool parse_options(int argc, wchar_t** argv, Options& options) {
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) {
      return false;
    }
    const std::wstring flag = argv[i];
    if (flag == L"--visible") {
      if (!parse_count(argv[i + 1], options.visible)) {
        return false;
      }
    } else if (flag == L"--hidden") {
      if (!parse_count(argv[i + 1], options.hidden)) {
        return false;
      }
    } else if (flag == L"--title") {
      options.title = argv[i + 1];
    } else {
      return false;
    }
  }
  return true;
}

bool open_windows(const Options& options) {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = DefWindowProcW;
  window_class.hInstance = instance;
  window_class.lpszClassName = L"VantleWindowHelper";
  if (RegisterClassW(&window_class) == 0) {
    return false;
  }
  for (unsigned long i = 0; i < options.visible + options.hidden; ++i) {
    const DWORD style = WS_OVERLAPPEDWINDOW | (i < options.visible ? WS_VISIBLE : 0);
    if (CreateWindowExW(0, window_class.lpszClassName, options.title.c_str(), style, CW_USEDEFAULT,
                        CW_USEDEFAULT, 240, 120, nullptr, nullptr, instance, nullptr) == nullptr) {
      return false;
    }
  }
  return true;
}

bool report_identity() {
  wchar_t path[32768];
  DWORD size = 32768;
  FILETIME creation{}, exit{}, kernel{}, user{};
  if (!QueryFullProcessImageNameW(GetCurrentProcess(), 0, path, &size) ||
      !GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) {
    return false;
  }
  audio_host::JsonWriter writer;
  writer.begin_object();
  writer.key("pid");
  writer.number(GetCurrentProcessId());
  writer.key("exe");
  writer.string(vantle::utf16_to_utf8_lossy(path, size));
  writer.key("start_time");
  writer.number((std::uint64_t(creation.dwHighDateTime) << 32) | creation.dwLowDateTime);
  writer.end_object();
  const std::string line = writer.text() + "\n";
  return vantle::write_all(vantle::StandardStream::output, line.data(), line.size()).ok();
}

// Returns when standard input reaches its end or fails (a missing one
// included); whatever arrives is ignored.
void wait_for_end_of_input() {
  char buffer[256];
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) &&
         got > 0) {
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!parse_options(argc, argv, options)) {
    return fail("usage: window-helper.exe [--visible N] [--hidden M] [--title TEXT]");
  }
  if (options.visible + options.hidden == 0) {
    // No window: no message queue and no desktop are needed.
    if (!report_identity()) {
      return fail("cannot report its identity (error " + std::to_string(GetLastError()) + ")");
    }
    wait_for_end_of_input();
    return 0;
  }

  // Under Wine, the first program that needs the desktop window starts Wine's
  // desktop process and hands it its own standard error handle. That process
  // outlives us, and whoever reads our standard error (a test) would never
  // see its end. So the desktop is asked for while standard error is unset.
  const HANDLE error_handle = GetStdHandle(STD_ERROR_HANDLE);
  SetStdHandle(STD_ERROR_HANDLE, nullptr);
  GetDesktopWindow();
  SetStdHandle(STD_ERROR_HANDLE, error_handle);

  // The thread's message queue must exist before the watcher can post to it.
  MSG message;
  PeekMessageW(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
  if (!open_windows(options)) {
    return fail("cannot create windows (error " + std::to_string(GetLastError()) + ")");
  }
  if (!report_identity()) {
    return fail("cannot report its identity (error " + std::to_string(GetLastError()) + ")");
  }

  const DWORD main_thread = GetCurrentThreadId();
  std::thread stdin_watch([main_thread] {
    wait_for_end_of_input();
    PostThreadMessageW(main_thread, WM_QUIT, 0, 0);
  });
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  // The watcher may still be blocked in ReadFile when the loop ended some
  // other way; the process exit ends it.
  stdin_watch.detach();
  return 0;
}
