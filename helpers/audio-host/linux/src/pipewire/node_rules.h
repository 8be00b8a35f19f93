// Whose process a PipeWire playback node belongs to, and which of the
// capture stream's inputs an output port feeds. Pure functions over values
// the registry follower reads; main thread.
//
// The PID the host judges a node by is the one the server checked: its
// client's "pipewire.sec.pid", which the server sets from the socket's
// credentials (in the server's PID namespace) and which no client can set.
// "application.process.id" is whatever a client declares, so it counts only
// where no checked PID of the application exists: for the clients that
// PipeWire's PulseAudio service connects on behalf of PulseAudio programs,
// whose checked PID is the service's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace audio_host::pipewire_host {

// What the server tells about one client, reduced to what decides the
// process of its nodes.
struct ClientFacts {
  // "pipewire.sec.pid", set by the server.
  std::optional<std::uint32_t> checked_pid;
  // Whether `checked_pid` runs PipeWire's own daemon program (the PulseAudio
  // service is that program): judged from /proc, never from a property.
  bool checked_pid_is_daemon = false;
  // "application.process.id" of the client, as declared.
  std::optional<std::uint32_t> declared_pid;
};

// The process of a playback node: its client's checked PID; where that is
// the PulseAudio service, the node's declared PID, else its client's. No
// client, or no checked PID, gives nullopt (unknown).
std::optional<std::uint32_t> playback_process_id(const ClientFacts* client,
                                                 std::optional<std::uint32_t> node_declared_pid);

// Whether an executable path (the link /proc/N/exe) is PipeWire's daemon
// program, which also runs as the PulseAudio service ("pipewire-pulse" is
// a link to it on Debian, a program of its own elsewhere). A path whose file
// was replaced since (an upgrade) ends in " (deleted)" and still counts.
bool is_pipewire_daemon_executable(std::string_view exe);

// The nodes a module makes together share a "node.link-group": a loopback's
// capture and playback sides, a virtual sink (remap, echo-cancel, combine,
// a filter chain) and the stream that plays its mix. What the group's other
// nodes are tells what its playback stream carries: the mix of a virtual
// sink, or a sink's monitor, is other programs' sound (or the
// translator's), which is captured where those programs are, if at all; a
// real source (a microphone, a phone, a network receiver) is not.
enum class GroupSide {
  carries_streams,  // a virtual sink ("Audio/Sink"), or a capture of a sink's monitor
  carries_source,   // a capture of a source
};
// The side a node of a link group is, from its media class and whether it
// captures a sink ("stream.capture.sink"); nullopt for a playback stream or
// anything else.
std::optional<GroupSide> link_group_side(std::string_view media_class, bool captures_sink);

// Which inputs of the capture stream (front left, front right) an output
// port of channel `output_channel` ("audio.channel") is linked to: its own
// side; a centre or mono channel, or one of no side, to both. A port
// without a channel (a control port) to none.
struct CaptureInputs {
  bool left = false;
  bool right = false;
  friend bool operator==(const CaptureInputs&, const CaptureInputs&) = default;
};
CaptureInputs capture_inputs_for(std::string_view output_channel);

// The side of one of the capture stream's own input ports: "FL" left, "FR"
// right; nullopt for anything else.
enum class InputSide { left, right };
std::optional<InputSide> capture_input_side(std::string_view input_channel);

}  // namespace audio_host::pipewire_host
