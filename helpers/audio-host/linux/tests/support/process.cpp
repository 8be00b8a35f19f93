#include "support/process.h"

#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <thread>

namespace test_support {
namespace {

using Clock = std::chrono::steady_clock;

int decode_status(int status) {
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return 128 + WTERMSIG(status);
}

vantle::ChildOptions child_options(const SpawnOptions& options) {
  vantle::ChildOptions child;
  child.environment = options.environment;
  child.unset = options.unset;
  if (!options.capture_output) {
    child.stdout_mode = vantle::OutputMode::null_device;
    child.stderr_mode = vantle::OutputMode::inherit;
  } else if (!options.stdout_file.empty()) {
    child.stdout_mode = vantle::OutputMode::file;
    child.stdout_file = options.stdout_file;
  }
  child.own_process_group = options.own_group;
  return child;
}

}  // namespace

void become_subreaper() {
  (void)prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
}

bool Child::start(const std::vector<std::string>& argv, const SpawnOptions& options) {
  const vantle::Status started = ChildProcess::start(argv, child_options(options));
  error_ = started.ok() ? std::string() : started.error();
  return started.ok();
}

std::optional<int> Child::wait(Milliseconds timeout) {
  // Once it has ended, what its pipes held has been read as far as it will.
  if (!exit_status()) {
    const vantle::Result<bool> ended = ChildProcess::wait(timeout);
    if (!ended.ok() || !ended.value()) {
      return std::nullopt;
    }
  }
  return exit_status()->exited ? exit_status()->code : 128 + exit_status()->code;
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
  SpawnOptions options;
  options.environment = environment;
  const auto output = vantle::run(argv, child_options(options), Milliseconds(20000));
  if (!output.ok() || !output.value().status) {
    return std::nullopt;
  }
  const vantle::ExitStatus status = *output.value().status;
  if (!status.exited || status.code != 0) {
    return std::nullopt;
  }
  return output.value().out;
}

namespace {

// Goertzel over the samples in [first_byte, first_byte + bytes), each
// weighted by `weight(index, count)`, normalised by the weights' sum.
template <typename Weight>
double weighted_tone_power(const std::string& pcm, std::size_t first_byte, std::size_t bytes,
                           double frequency, Weight weight) {
  const std::size_t begin = first_byte & ~std::size_t{1};
  const std::size_t end = std::min(pcm.size(), first_byte + bytes) & ~std::size_t{1};
  if (end <= begin) {
    return 0;
  }
  const std::size_t count = (end - begin) / 2;
  const double omega = 2.0 * std::numbers::pi * frequency / 48000.0;
  const double coefficient = 2.0 * std::cos(omega);
  double s1 = 0;
  double s2 = 0;
  double weights = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const auto low = static_cast<unsigned char>(pcm[begin + 2 * i]);
    const auto high = static_cast<unsigned char>(pcm[begin + 2 * i + 1]);
    const auto sample = static_cast<std::int16_t>(low | (high << 8));
    const double w = weight(i, count);
    weights += w;
    const double s0 = w * sample / 32768.0 + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  if (weights <= 0) {
    return 0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  return power / (weights * weights);
}

}  // namespace

double tone_power(const std::string& pcm, std::size_t first_byte, std::size_t bytes,
                  double frequency) {
  return weighted_tone_power(pcm, first_byte, bytes, frequency,
                             [](std::size_t, std::size_t) { return 1.0; });
}

double windowed_tone_power(const std::string& pcm, std::size_t first_byte, std::size_t bytes,
                           double frequency) {
  return weighted_tone_power(pcm, first_byte, bytes, frequency, [](std::size_t i, std::size_t n) {
    return 0.5 -
           0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n));
  });
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
