#include "support/sound.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

namespace test_support {

std::string sound_server_kind() {
  const char* kind = std::getenv("VANTLE_TEST_SOUND_SERVER");
  return kind != nullptr ? kind : "";
}

std::string Tones::file(int hz) {
  static TempFolder folder;
  static std::map<int, std::string> made;
  const auto found = made.find(hz);
  if (found != made.end()) {
    return found->second;
  }
  const std::string path = folder.path() + "/tone-" + std::to_string(hz) + ".wav";
  (void)command_output({"sox", "-n", "-r", "48000", "-c", "2", "-b", "16", path, "synth", "30",
                        "sine", std::to_string(hz), "vol", "0.5"});
  made[hz] = path;
  return path;
}

std::unique_ptr<Child> start_player(int hz) {
  auto player = std::make_unique<Child>();
  SpawnOptions options;
  options.capture_output = false;
  if (!player->start({"paplay", Tones::file(hz)}, options)) {
    return nullptr;
  }
  return player;
}

std::optional<std::uint32_t> sink_input_of(pid_t pid, Milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto text = command_output({"pactl", "--format=json", "list", "sink-inputs"});
    if (text) {
      const auto streams = nlohmann::json::parse(*text, nullptr, false);
      for (const auto& stream : streams) {
        const auto& properties = stream.value("properties", nlohmann::json::object());
        if (properties.value("application.process.id", "") == std::to_string(pid)) {
          return stream.value("index", 0u);
        }
      }
    }
    std::this_thread::sleep_for(Milliseconds(20));
  }
  return std::nullopt;
}

LoadedModule::LoadedModule(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"pactl", "load-module"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  if (const auto out = command_output(argv)) {
    std::istringstream(*out) >> index_;
  }
}

LoadedModule::~LoadedModule() {
  if (!index_.empty()) {
    (void)command_output({"pactl", "unload-module", index_});
  }
}

bool tone_dominates(const std::string& pcm, double from_seconds, double to_seconds, int hz,
                    int other_hz, std::string* why) {
  const auto first = static_cast<std::size_t>(from_seconds * 96000) & ~std::size_t{1};
  const auto bytes = static_cast<std::size_t>((to_seconds - from_seconds) * 96000);
  const double wanted = tone_power(pcm, first, bytes, hz);
  const double other = tone_power(pcm, first, bytes, other_hz);
  std::ostringstream text;
  text << hz << " Hz power " << wanted << ", " << other_hz << " Hz power " << other << " in "
       << from_seconds << "-" << to_seconds << " s of " << pcm.size() / 96000.0 << " s";
  *why = text.str();
  // A tone of amplitude a has a power of a^2 / 4 here; the players play at
  // -6 dB, and levels differ between servers, so only a floor is asked.
  return wanted > 1e-3 && other < wanted * 1e-3;
}

}  // namespace test_support
