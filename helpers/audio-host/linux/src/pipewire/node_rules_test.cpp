#include "pipewire/node_rules.h"

#include <gtest/gtest.h>

namespace audio_host::pipewire_host {
namespace {

TEST(PlaybackProcessId, TheCheckedPidUnlessItIsTheDaemonsThenTheDeclaredOnes) {
  struct Case {
    const char* name;
    std::optional<ClientFacts> client;
    std::optional<std::uint32_t> node_declared;
    std::optional<std::uint32_t> pid;
  };
  const Case cases[] = {
      {"native client: its checked PID", ClientFacts{100, false, 100}, std::nullopt, 100},
      {"native client claiming another PID on its client", ClientFacts{100, false, 4242},
       std::nullopt, 100},
      {"native client claiming another PID on its node", ClientFacts{100, false, 100}, 4242, 100},
      {"client in another PID namespace: what the server translated", ClientFacts{300, false, 2}, 2,
       300},
      {"PulseAudio client: the node's declared PID", ClientFacts{50, true, 60}, 70, 70},
      {"PulseAudio client: else the client's", ClientFacts{50, true, 60}, std::nullopt, 60},
      {"PulseAudio client declaring nothing: unknown", ClientFacts{50, true, std::nullopt},
       std::nullopt, std::nullopt},
      {"no checked PID: unknown, whatever is declared", ClientFacts{std::nullopt, false, 60}, 70,
       std::nullopt},
      {"no client: unknown", std::nullopt, 70, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(playback_process_id(c.client ? &*c.client : nullptr, c.node_declared), c.pid)
        << c.name;
  }
}

TEST(PipeWireDaemonExecutable, TheDaemonProgramByFileNameOnly) {
  struct Case {
    const char* exe;
    bool daemon;
  };
  const Case cases[] = {
      {"/usr/bin/pipewire", true},
      {"/usr/bin/pipewire-pulse", true},
      {"/usr/bin/pipewire (deleted)", true},
      {"/opt/pw/bin/pipewire", true},
      {"/usr/bin/pw-cat", false},
      {"/usr/bin/wireplumber", false},
      {"/tmp/pipewire-pulse-lookalike", false},
      {"/usr/bin/pipewire/evil", false},
      {"pipewire", true},
      {"", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(is_pipewire_daemon_executable(c.exe), c.daemon) << c.exe;
  }
}

TEST(CaptureInputs, EachSideToItsInputCentreAndMonoToBothControlToNone) {
  struct Case {
    const char* channel;
    CaptureInputs inputs;
  };
  const Case cases[] = {
      {"FL", {true, false}}, {"FR", {false, true}},  {"MONO", {true, true}},
      {"FC", {true, true}},  {"LFE", {true, true}},  {"RL", {true, false}},
      {"SR", {false, true}}, {"AUX0", {true, true}}, {"", {false, false}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(capture_inputs_for(c.channel), c.inputs) << c.channel;
  }
  EXPECT_EQ(capture_input_side("FL"), InputSide::left);
  EXPECT_EQ(capture_input_side("FR"), InputSide::right);
  EXPECT_EQ(capture_input_side("MONO"), std::nullopt);
}

}  // namespace
}  // namespace audio_host::pipewire_host
