// The Windows host's capture backend: the process-loopback audio client of
// the selected tree (or of everything outside the translator's), its
// event-driven stream and the packet loop, on the host's main thread.
//
// Ownership: the backend owns COM on the main thread, the stream (audio
// client, capture client, capture event) and the thread's registration
// with the multimedia scheduler, declared in the order of acquisition: what
// stop() leaves goes, in reverse, with the backend (run.cpp says when).
//
// Threads: all of it on the main thread, apart from the activation's
// completion (loopback_activation.h) and the console stop signal, which
// only sets console_stop_requested() (console_stop.h).
#pragma once

#include <optional>
#include <string_view>

#include "native/capture_stream.h"
#include "native/owners.h"
#include "run.h"

namespace audio_host::win {

class LoopbackBackend final : public CaptureBackend {
 public:
  std::string_view name() const override { return "wasapi-process-loopback"; }
  // COM for the multithreaded apartment, the activation of the selection's
  // loopback client, and its stream.
  vantle::Status set_up(const CaptureSelection& selection) override;
  // Registers the main thread for the "Audio" task (a refusal is ignored),
  // then starts the stream.
  vantle::Status start() override;
  // The packet loop, until a stop.
  vantle::Status run(const CaptureLoopInputs& inputs) override;
  // Stops and releases the audio client, then reverts the registration.
  void stop() override;

 private:
  ComApartment com_;
  std::optional<CaptureStream> stream_;
  ThreadTaskRegistration audio_thread_;
};

}  // namespace audio_host::win
