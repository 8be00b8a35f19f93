// The host's standard descriptors at start-up. A translator may start it
// with one of them closed; the next file the host opens (a pidfd, the
// signalfd) would then take its number and receive PCM or event lines.
// Main thread, first thing in main.
#pragma once

namespace audio_host::linux_host {

struct MissingStandardStreams {
  bool input = false;
  bool output = false;
  bool error = false;
};

// Opens every closed standard descriptor (0, 1, 2) on /dev/null, so that
// what is written there is discarded; says which were closed.
MissingStandardStreams open_missing_standard_streams();

}  // namespace audio_host::linux_host
