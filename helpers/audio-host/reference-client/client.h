// The reference client's commands, the same on every platform: it does with
// the audio host what the translator does, so that users can try the host
// and tests can drive it like a real parent.
//
//   reference-client list [--host PATH]
//   reference-client capture (--app LABEL | --pid N | --system) [--seconds S]
//                    [--wav FILE] [--stop pipe|signal] [--host PATH] [ANALYSIS]
//   reference-client analyze WAV [ANALYSIS]
//   ANALYSIS: [--reference WAV [--other-hz F,F,...]] [--spectrogram PNG]
//
// A capture of an application first lists the applications and passes the
// chosen entry's exe and start_time as the expected identity; this
// program's own PID is the excluded (parent) PID. After --seconds, or when
// the user interrupts this program, the capture is stopped the way a parent
// would: by closing the PCM pipe, or with the stop signal (SIGINT, or Ctrl+C
// on a console shared with the host).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace reference_client {

struct Options {
  enum class Command { list, capture, analyze };
  Command command = Command::list;
  std::string host;  // empty: audio-host beside this program
  std::optional<std::string> app;
  std::optional<std::uint32_t> pid;
  bool system = false;
  std::optional<double> seconds;  // none: until interrupted or the host ends
  std::string wav = "capture.wav";
  enum class Stop { pipe, signal };
  Stop stop = Stop::pipe;
  std::string input_wav;  // analyze
  std::optional<std::string> reference;
  std::vector<double> other_hz;
  std::optional<std::string> spectrogram;
};

// The arguments after the program's name.
vantle::Result<Options> parse_options(const std::vector<std::string>& arguments);
extern const char* const kUsage;

// One entry of the host's listing.
struct ListedApp {
  std::string id;
  std::string label;
  std::string exe;
  std::uint64_t start_time = 0;
  bool active = false;
};

// The host's --list output; an error if it is not an array of entries.
vantle::Result<std::vector<ListedApp>> parse_listing(std::string_view json);

// The entry a capture by --pid or --app means: the one with that id, or of
// the entries with that label the first that plays audio now, else the first.
std::optional<ListedApp> choose_app(const std::vector<ListedApp>& listing, const Options& options);

// The host's arguments for a capture of `app` (none: the system).
std::vector<std::string> capture_arguments(std::uint32_t own_pid,
                                           const std::optional<ListedApp>& app);

// How a line of the host's standard error is shown: "event NAME: LINE" for
// a JSON event, "stderr: LINE" for anything else (no LF in either).
std::string describe_stderr_line(std::string_view line);

// Runs the command; the process's exit status: 0 when the host ended well,
// 1 otherwise.
int run(const Options& options);

}  // namespace reference_client
