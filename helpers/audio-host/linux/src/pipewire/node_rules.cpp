#include "pipewire/node_rules.h"

#include <algorithm>
#include <array>

namespace audio_host::pipewire_host {
namespace {

// The channel positions of SPA's audio layouts that lie on one side.
constexpr std::array<std::string_view, 10> kLeftChannels = {"FL",  "RL",  "SL",  "FLC", "RLC",
                                                            "TFL", "TRL", "TSL", "FLW", "FLH"};
constexpr std::array<std::string_view, 10> kRightChannels = {"FR",  "RR",  "SR",  "FRC", "RRC",
                                                             "TFR", "TRR", "TSR", "FRW", "FRH"};

bool contains(const auto& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

std::optional<std::uint32_t> playback_process_id(const ClientFacts* client,
                                                 std::optional<std::uint32_t> node_declared_pid) {
  if (client == nullptr || !client->checked_pid) {
    return std::nullopt;
  }
  if (!client->checked_pid_is_daemon) {
    return client->checked_pid;
  }
  return node_declared_pid ? node_declared_pid : client->declared_pid;
}

bool is_pipewire_daemon_executable(std::string_view exe) {
  constexpr std::string_view kReplaced = " (deleted)";
  if (exe.ends_with(kReplaced)) {
    exe.remove_suffix(kReplaced.size());
  }
  const std::size_t slash = exe.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? exe : exe.substr(slash + 1);
  return name == "pipewire" || name == "pipewire-pulse";
}

CaptureInputs capture_inputs_for(std::string_view output_channel) {
  if (output_channel.empty()) {
    return {};
  }
  if (contains(kLeftChannels, output_channel)) {
    return {true, false};
  }
  if (contains(kRightChannels, output_channel)) {
    return {false, true};
  }
  return {true, true};
}

std::optional<InputSide> capture_input_side(std::string_view input_channel) {
  if (input_channel == "FL") {
    return InputSide::left;
  }
  if (input_channel == "FR") {
    return InputSide::right;
  }
  return std::nullopt;
}

std::optional<GroupSide> link_group_side(std::string_view media_class, bool captures_sink) {
  if (media_class == "Audio/Sink") {
    return GroupSide::carries_streams;
  }
  if (media_class == "Stream/Input/Audio") {
    return captures_sink ? GroupSide::carries_streams : GroupSide::carries_source;
  }
  return std::nullopt;
}

}  // namespace audio_host::pipewire_host
