#include "client.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <thread>

#include "files.h"
#include "host_process.h"
#include "pcm_analysis.h"
#include "reference_match.h"
#include "spectrogram.h"
#include "wav.h"

namespace reference_client {
namespace {

using vantle::make_error;
using Json = nlohmann::json;

constexpr auto kListTimeout = std::chrono::seconds(30);
constexpr auto kStopTimeout = std::chrono::seconds(15);
constexpr auto kTick = std::chrono::milliseconds(20);

std::optional<double> parse_number(const std::string& text) {
  if (text.empty()) {
    return std::nullopt;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::string host_path(const Options& options) {
  if (!options.host.empty()) {
    return options.host;
  }
  const auto folder = vantle::program_folder();
  return (folder.ok() ? vantle::from_native_string(folder.value()) : std::string()) +
         host_file_name();
}

void show_stderr(HostProcess& host) {
  for (std::string line : host.take_stderr_lines()) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
      line.pop_back();
    }
    if (!line.empty()) {
      std::printf("%s\n", describe_stderr_line(line).c_str());
    }
  }
  std::fflush(stdout);
}

// Runs `audio-host --list`; the entries, or nullopt after saying why.
std::optional<std::vector<ListedApp>> list_applications(const Options& options) {
  HostProcess host;
  if (auto started = host.start(host_path(options), {"--list"}); !started) {
    std::fprintf(stderr, "reference-client: %s\n", started.error().c_str());
    return std::nullopt;
  }
  if (!host.wait(kListTimeout)) {
    std::fprintf(stderr, "reference-client: the host did not list within 30 s; it was ended\n");
    return std::nullopt;
  }
  show_stderr(host);
  if (const ExitStatus status = host.exit_status(); !status.exited || status.code != 0) {
    std::printf("host exit status: %s\n", describe(status).c_str());
    return std::nullopt;
  }
  auto listing = parse_listing(host.pcm());
  if (!listing) {
    std::fprintf(stderr, "reference-client: %s\n", listing.error().c_str());
    return std::nullopt;
  }
  return std::move(listing).value();
}

int run_list(const Options& options) {
  const auto listing = list_applications(options);
  if (!listing) {
    return 1;
  }
  std::printf("%-12s %-20s %-6s %-20s %s\n", "id", "label", "active", "start_time", "exe");
  for (const ListedApp& app : *listing) {
    std::printf("%-12s %-20s %-6s %-20llu %s\n", app.id.c_str(), app.label.c_str(),
                app.active ? "yes" : "no", static_cast<unsigned long long>(app.start_time),
                app.exe.c_str());
  }
  return 0;
}

// The summary and, as asked, the comparison with a reference and the picture.
int analyze(std::span<const std::int16_t> samples, std::uint32_t rate, const Options& options) {
  std::printf("summary: %s\n", format_summary(summarize(samples)).c_str());
  int status = 0;
  if (options.reference) {
    auto reference = read_wav_file(*options.reference);
    if (!reference) {
      std::fprintf(stderr, "reference-client: %s\n", reference.error().c_str());
      status = 1;
    } else {
      const ReferenceMatch match = match_reference(samples, rate, reference.value().samples,
                                                   reference.value().rate, options.other_hz);
      std::printf("reference: %s\n", format_match(match).c_str());
      if (match.found) {
        std::printf("similarity to %s: %.4f\n", options.reference->c_str(), match.similarity);
      }
      if (match.found && !options.other_hz.empty()) {
        std::string tones;
        for (std::size_t i = 0; i < options.other_hz.size(); ++i) {
          char part[64];
          std::snprintf(part, sizeof part, "%s%g Hz %.1f dB", i ? ", " : "", options.other_hz[i],
                        match.tone_db_below[i]);
          tones += part;
        }
        std::printf("other program: %.1f dB below the speech%s (%s)\n", match.other_db_below,
                    match.other_db_below < 0 ? ", louder than it" : "", tones.c_str());
      }
    }
  }
  if (options.spectrogram) {
    const RgbImage image = spectrogram(samples, rate);
    const std::string png = encode_png(image);
    if (auto written = write_file(*options.spectrogram, {png}); !written) {
      std::fprintf(stderr, "reference-client: %s\n", written.error().c_str());
      status = 1;
    } else {
      std::printf("wrote %s (spectrogram, %ux%u: 10 ms a column, 0-8 kHz)\n",
                  options.spectrogram->c_str(), image.width, image.height);
    }
  }
  return status;
}

int run_capture(const Options& options) {
  std::optional<ListedApp> chosen;
  if (!options.system) {
    const auto listing = list_applications(options);
    if (!listing) {
      return 1;
    }
    chosen = choose_app(*listing, options);
    if (!chosen) {
      std::fprintf(stderr, "reference-client: no listed application matches\n");
      return 1;
    }
    std::printf("capturing %s (%s)\n", chosen->label.c_str(), chosen->id.c_str());
  } else {
    std::printf("capturing the system\n");
  }
  std::fflush(stdout);

  catch_interrupts();
  if (options.stop == Options::Stop::signal) {
    prepare_stop_signal();
  }
  HostProcess host;
  if (auto started =
          host.start(host_path(options), capture_arguments(current_process_id(), chosen));
      !started) {
    std::fprintf(stderr, "reference-client: %s\n", started.error().c_str());
    return 1;
  }
  const auto begin = std::chrono::steady_clock::now();
  bool ended = false;
  while (!(ended = host.wait(kTick))) {
    show_stderr(host);
    const bool time_up = options.seconds && std::chrono::steady_clock::now() - begin >=
                                                std::chrono::duration<double>(*options.seconds);
    if (time_up || interrupted()) {
      break;
    }
  }
  if (!ended) {
    if (options.stop == Options::Stop::signal) {
      if (auto sent = host.send_stop_signal(); !sent) {
        std::fprintf(stderr, "reference-client: %s\n", sent.error().c_str());
      }
    } else {
      host.close_pcm();
    }
    if (!host.wait(kStopTimeout)) {
      std::fprintf(stderr, "reference-client: the host did not stop within 15 s; it was ended\n");
      host.kill();
      (void)host.wait(kStopTimeout);
    }
  }
  show_stderr(host);
  const ExitStatus status = host.exit_status();
  std::printf("host exit status: %s\n", describe(status).c_str());

  const std::string pcm = host.pcm();
  const std::size_t bytes = pcm.size() / 2 * 2;
  const std::string_view data(pcm.data(), bytes);
  int result = status.exited && status.code == 0 ? 0 : 1;
  if (auto written = write_file(options.wav, {wav_header(kSampleRate, std::uint32_t(bytes)), data});
      !written) {
    std::fprintf(stderr, "reference-client: %s\n", written.error().c_str());
    result = 1;
  } else {
    std::printf("wrote %s (mono, 16-bit, %u Hz)\n", options.wav.c_str(), kSampleRate);
  }
  const std::vector<std::int16_t> samples =
      decode_s16le({reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
  if (analyze(samples, kSampleRate, options) != 0) {
    result = 1;
  }
  return result;
}

int run_analyze(const Options& options) {
  auto audio = read_wav_file(options.input_wav);
  if (!audio) {
    std::fprintf(stderr, "reference-client: %s\n", audio.error().c_str());
    return 1;
  }
  return analyze(audio.value().samples, audio.value().rate, options);
}

}  // namespace

const char* const kUsage =
    "usage: reference-client list [--host PATH]\n"
    "       reference-client capture (--app LABEL | --pid N | --system) [--seconds S]\n"
    "                        [--wav FILE] [--stop pipe|signal] [--host PATH] [ANALYSIS]\n"
    "       reference-client analyze WAV [ANALYSIS]\n"
    "ANALYSIS: [--reference WAV [--other-hz F,F,...]] [--spectrogram PNG]\n";

vantle::Result<Options> parse_options(const std::vector<std::string>& arguments) {
  Options options;
  if (arguments.empty()) {
    return make_error("a command is required");
  }
  const std::string& command = arguments[0];
  if (command == "list") {
    options.command = Options::Command::list;
  } else if (command == "capture") {
    options.command = Options::Command::capture;
  } else if (command == "analyze") {
    options.command = Options::Command::analyze;
  } else {
    return make_error("unknown command " + command);
  }
  std::size_t i = 1;
  if (options.command == Options::Command::analyze) {
    if (arguments.size() < 2 || arguments[1].starts_with("--")) {
      return make_error("analyze needs a WAV file");
    }
    options.input_wav = arguments[1];
    i = 2;
  }
  const bool captures = options.command == Options::Command::capture;
  const bool analyzes = options.command != Options::Command::list;
  for (; i < arguments.size(); ++i) {
    const std::string& flag = arguments[i];
    if (i + 1 >= arguments.size() && flag != "--system") {
      return make_error("missing value for " + flag);
    }
    const std::string& value = flag == "--system" ? flag : arguments[i + 1];
    const auto bad = [&] { return make_error("invalid value for " + flag + ": " + value); };
    if (flag == "--host" && options.command != Options::Command::analyze) {
      options.host = value;
    } else if (flag == "--app" && captures) {
      options.app = value;
    } else if (flag == "--pid" && captures) {
      const auto pid = parse_number(value);
      if (!pid || *pid < 1 || *pid > 4294967295.0 || *pid != std::uint32_t(*pid)) {
        return bad();
      }
      options.pid = std::uint32_t(*pid);
    } else if (flag == "--system" && captures) {
      options.system = true;
      continue;
    } else if (flag == "--seconds" && captures) {
      options.seconds = parse_number(value);
      if (!options.seconds || !(*options.seconds > 0) || *options.seconds > 1e6) {
        return bad();
      }
    } else if (flag == "--wav" && captures) {
      options.wav = value;
    } else if (flag == "--stop" && captures) {
      if (value == "pipe") {
        options.stop = Options::Stop::pipe;
      } else if (value == "signal") {
        options.stop = Options::Stop::signal;
      } else {
        return bad();
      }
    } else if (flag == "--reference" && analyzes) {
      options.reference = value;
    } else if (flag == "--other-hz" && analyzes) {
      std::size_t start = 0;
      while (start <= value.size()) {
        const std::size_t comma = std::min(value.find(',', start), value.size());
        const auto hz = parse_number(value.substr(start, comma - start));
        if (!hz || !(*hz > 0) || *hz >= kMatchCutoffHz) {
          return bad();
        }
        options.other_hz.push_back(*hz);
        start = comma + 1;
      }
    } else if (flag == "--spectrogram" && analyzes) {
      options.spectrogram = value;
    } else {
      return make_error("unknown option " + flag + " for " + command);
    }
    ++i;
  }
  if (captures &&
      int(options.app.has_value()) + int(options.pid.has_value()) + int(options.system) != 1) {
    return make_error("capture needs one of --app, --pid and --system");
  }
  if (!options.other_hz.empty() && !options.reference) {
    return make_error("--other-hz needs --reference");
  }
  return options;
}

vantle::Result<std::vector<ListedApp>> parse_listing(std::string_view json) {
  const Json listing = Json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!listing.is_array()) {
    return make_error("the listing is not a JSON array");
  }
  std::vector<ListedApp> apps;
  for (const Json& entry : listing) {
    const auto field = [&](const char* name) -> const Json* {
      if (!entry.is_object()) {
        return nullptr;
      }
      const auto found = entry.find(name);
      return found == entry.end() ? nullptr : &*found;
    };
    const Json* id = field("id");
    const Json* label = field("label");
    const Json* exe = field("exe");
    const Json* start_time = field("start_time");
    const Json* active = field("active");
    if (!id || !id->is_string() || !label || !label->is_string() || !exe || !exe->is_string() ||
        !start_time || !start_time->is_number_unsigned() || !active || !active->is_boolean()) {
      return make_error("a listing entry lacks id, label, exe, start_time or active");
    }
    apps.push_back(ListedApp{id->get<std::string>(), label->get<std::string>(),
                             exe->get<std::string>(), start_time->get<std::uint64_t>(),
                             active->get<bool>()});
  }
  return apps;
}

std::optional<ListedApp> choose_app(const std::vector<ListedApp>& listing, const Options& options) {
  const ListedApp* chosen = nullptr;
  for (const ListedApp& app : listing) {
    if (options.pid) {
      if (app.id == "pid:" + std::to_string(*options.pid)) {
        return app;
      }
    } else if (options.app && app.label == *options.app) {
      if (chosen == nullptr || (app.active && !chosen->active)) {
        chosen = &app;
      }
    }
  }
  return chosen ? std::optional<ListedApp>(*chosen) : std::nullopt;
}

std::vector<std::string> capture_arguments(std::uint32_t own_pid,
                                           const std::optional<ListedApp>& app) {
  std::vector<std::string> arguments = {"--exclude-pids", std::to_string(own_pid)};
  if (!app) {
    arguments.insert(arguments.end(), {"--target", "system"});
  } else {
    arguments.insert(arguments.end(), {"--target", app->id, "--expected-exe", app->exe,
                                       "--expected-start", std::to_string(app->start_time)});
  }
  return arguments;
}

std::string describe_stderr_line(std::string_view line) {
  const Json event = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (event.is_object()) {
    const auto name = event.find("event");
    if (name != event.end() && name->is_string()) {
      return "event " + name->get<std::string>() + ": " + std::string(line);
    }
  }
  return "stderr: " + std::string(line);
}

int run(const Options& options) {
  switch (options.command) {
    case Options::Command::list:
      return run_list(options);
    case Options::Command::capture:
      return run_capture(options);
    case Options::Command::analyze:
      return run_analyze(options);
  }
  return 1;
}

}  // namespace reference_client
