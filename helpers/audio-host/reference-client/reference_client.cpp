// The reference client: does what the translator does with the audio host,
// so that users can try the host and tests can drive it like a real parent.
//
//   reference-client list [--host PATH]
//   reference-client capture (--app LABEL | --pid N | --system)
//                    [--seconds S] [--wav FILE] [--stop pipe|ctrl-c] [--host PATH]
//
// The host is started as this program's direct child with pipes for its
// standard output (PCM) and standard error (event lines). A capture of an
// application first lists the applications and passes the chosen entry's
// exe and start_time as the expected identity; this program's own PID is
// the excluded (parent) PID. After the given time the capture is stopped the
// way a parent would: by closing the PCM pipe, or with Ctrl+C on a console
// shared with the host.
#include <windows.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "pcm_analysis.h"
#include "support/child_process.h"

namespace {

using test_support::narrow;
using test_support::widen;

struct Options {
  std::string command;
  std::wstring host = test_support::program_folder() + L"audio-host.exe";
  std::optional<std::string> app;
  std::optional<std::uint32_t> pid;
  bool system = false;
  double seconds = 5;
  std::string wav = "capture.wav";
  std::string stop = "pipe";
};

[[noreturn]] void usage(const char* problem) {
  std::fprintf(stderr,
               "reference-client: %s\n"
               "usage: reference-client list [--host PATH]\n"
               "       reference-client capture (--app LABEL | --pid N | --system)\n"
               "                        [--seconds S] [--wav FILE] [--stop pipe|ctrl-c]"
               " [--host PATH]\n",
               problem);
  std::exit(2);
}

Options parse(int argc, wchar_t** argv) {
  Options options;
  if (argc < 2)
    usage("a command is required");
  options.command = narrow(argv[1]);
  for (int i = 2; i < argc; ++i) {
    const std::string flag = narrow(argv[i]);
    const auto value = [&]() -> std::wstring {
      if (i + 1 >= argc)
        usage(("missing value for " + flag).c_str());
      return argv[++i];
    };
    if (flag == "--host") {
      options.host = value();
    } else if (flag == "--app") {
      options.app = narrow(value());
    } else if (flag == "--pid") {
      options.pid = static_cast<std::uint32_t>(std::wcstoul(value().c_str(), nullptr, 10));
    } else if (flag == "--system") {
      options.system = true;
    } else if (flag == "--seconds") {
      options.seconds = std::wcstod(value().c_str(), nullptr);
    } else if (flag == "--wav") {
      options.wav = narrow(value());
    } else if (flag == "--stop") {
      options.stop = narrow(value());
    } else {
      usage(("unknown option " + flag).c_str());
    }
  }
  if (options.command != "list" && options.command != "capture")
    usage("unknown command");
  if (options.stop != "pipe" && options.stop != "ctrl-c")
    usage("--stop is pipe or ctrl-c");
  return options;
}

// Prints the host's standard error: JSON events parsed, other lines as they are.
void show_stderr(const std::string& text) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos)
      end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty())
      continue;
    const auto event = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (event.is_object() && event.contains("event")) {
      std::printf("event %s: %s\n", event["event"].get<std::string>().c_str(), line.c_str());
    } else {
      std::printf("stderr: %s\n", line.c_str());
    }
  }
  std::fflush(stdout);
}

// Runs `audio-host --list`; the parsed array, or nullopt after printing why.
std::optional<nlohmann::json> list_applications(const Options& options) {
  const auto result = test_support::run(options.host, {L"--list"});
  if (!result.finished) {
    std::fprintf(stderr, "the host did not run: %s\n", result.err.c_str());
    return std::nullopt;
  }
  show_stderr(result.err);
  if (result.exit_code != 0) {
    std::printf("host exit status: %lu\n", result.exit_code);
    return std::nullopt;
  }
  auto listing = nlohmann::json::parse(result.out, nullptr, false);
  if (!listing.is_array()) {
    std::fprintf(stderr, "the listing is not a JSON array\n");
    return std::nullopt;
  }
  return listing;
}

int run_list(const Options& options) {
  const auto listing = list_applications(options);
  if (!listing)
    return 1;
  std::printf("%-12s %-24s %-20s %s\n", "id", "label", "start_time", "exe");
  for (const auto& entry : *listing) {
    std::printf("%-12s %-24s %-20llu %s\n", entry["id"].get<std::string>().c_str(),
                entry["label"].get<std::string>().c_str(),
                static_cast<unsigned long long>(entry["start_time"].get<std::uint64_t>()),
                entry["exe"].get<std::string>().c_str());
  }
  return 0;
}

BOOL WINAPI ignore_console_signal(DWORD) {
  return TRUE;
}

int run_capture(const Options& options) {
  std::vector<std::wstring> arguments = {L"--exclude-pids", std::to_wstring(GetCurrentProcessId())};
  if (options.system) {
    arguments.insert(arguments.end(), {L"--target", L"system"});
  } else {
    if (!options.app && !options.pid)
      usage("capture needs --app, --pid or --system");
    const auto listing = list_applications(options);
    if (!listing)
      return 1;
    const nlohmann::json* chosen = nullptr;
    for (const auto& entry : *listing) {
      const bool match = options.pid ? entry["id"] == "pid:" + std::to_string(*options.pid)
                                     : entry["label"] == *options.app;
      if (match) {
        chosen = &entry;
        break;
      }
    }
    if (chosen == nullptr) {
      std::fprintf(stderr, "no listed application matches\n");
      return 1;
    }
    std::printf("capturing %s (%s)\n", (*chosen)["label"].get<std::string>().c_str(),
                (*chosen)["id"].get<std::string>().c_str());
    arguments.insert(arguments.end(),
                     {L"--target", widen((*chosen)["id"].get<std::string>()), L"--expected-exe",
                      widen((*chosen)["exe"].get<std::string>()), L"--expected-start",
                      std::to_wstring((*chosen)["start_time"].get<std::uint64_t>())});
  }

  if (options.stop == "ctrl-c") {
    // Ctrl+C reaches the processes of one console: give the host ours.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    AllocConsole();
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    SetStdHandle(STD_ERROR_HANDLE, err);
    SetConsoleCtrlHandler(ignore_console_signal, TRUE);
  }

  test_support::Child host;
  if (!host.start(options.host, arguments)) {
    std::fprintf(stderr, "cannot start the host: %s\n", host.error().c_str());
    return 1;
  }
  const DWORD capture_ms = static_cast<DWORD>(options.seconds * 1000);
  const bool ended_early = WaitForSingleObject(host.process(), capture_ms) == WAIT_OBJECT_0;
  if (!ended_early) {
    if (options.stop == "ctrl-c") {
      GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    } else {
      host.close_stdout_reader();
    }
  }
  if (!host.wait(15000)) {
    std::fprintf(stderr, "the host did not stop; it was ended\n");
  }
  show_stderr(host.err());

  const std::string pcm = host.out();
  std::ofstream wav(options.wav, std::ios::binary);
  wav << reference_client::wav_header(reference_client::kSampleRate,
                                      static_cast<std::uint32_t>(pcm.size() / 2 * 2));
  wav.write(pcm.data(), static_cast<std::streamsize>(pcm.size() / 2 * 2));

  const auto samples = reference_client::decode_s16le(
      {reinterpret_cast<const std::uint8_t*>(pcm.data()), pcm.size()});
  std::printf("host exit status: %lu\n", host.exit_code());
  std::printf("wrote %s\n", options.wav.c_str());
  std::printf("%s\n",
              reference_client::format_summary(reference_client::summarize(samples)).c_str());
  return host.exit_code() == 0 ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const Options options = parse(argc, argv);
  return options.command == "list" ? run_list(options) : run_capture(options);
}
