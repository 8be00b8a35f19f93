// The run sequence both hosts share: the program from its arguments to its
// exit status, and one capture run from its checks to its take-down. The
// rules that keep the translator out of every capture (the ancestry rules,
// the identity check, the selection) are applied here, once; each host
// supplies its platform (process table, identities, listing, stop sources)
// and its capture backend.
//
// Threads: all of it runs on the host's main thread. The capture worker of
// the pipeline runs from CapturePipeline::start() to its stop; a backend may
// run threads of its own (a system's audio thread), which it documents.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "capture.h"
#include "command_line.h"
#include "process_identity.h"
#include "process_rules.h"
#include "result.h"

namespace audio_host {

// What a backend's capture loop is handed by the run sequence.
struct CaptureLoopInputs {
  vantle_audio::CaptureProducer& producer;  // where the captured frames go
  const std::atomic<bool>& output_failed;   // set by the capture worker: a normal end
  const ProcessIdentity& translator;        // its end is a normal end
  const ProcessIdentity* selected;          // null for a system capture; its end is an error
};

// One way of capturing the selected sound. The run sequence calls, in this
// order and each at most once: set_up(), start(), run(), stop(); a failed
// step ends the run, and the backend is then destroyed, which releases what
// it still holds. Between set_up() and start() the run sequence starts the
// pipeline, installs the stop sources and writes the format event.
class CaptureBackend {
 public:
  virtual ~CaptureBackend() = default;

  // The format event's "backend".
  virtual std::string_view name() const = 0;
  // Acquires what the capture needs, before the pipeline starts (Windows:
  // COM, the loopback client and its stream; Linux: the server connection).
  virtual vantle::Status set_up(const CaptureSelection& selection) = 0;
  // Starts capturing, once the format event is out.
  virtual vantle::Status start() = 0;
  // Feeds the producer until a stop: the host's stop sources, the
  // translator's end and `output_failed` end it normally, the selected
  // process's end with "selected process exited", a failure of the capture
  // with its error.
  virtual vantle::Status run(const CaptureLoopInputs& inputs) = 0;
  // After run(), whatever its result, before the pipeline stops: stops the
  // capture and releases what feeds the producer.
  virtual void stop() = 0;
};

// What a host's operating system gives the run sequence.
class HostPlatform {
 public:
  virtual ~HostPlatform() = default;

  // How the platform spells executable paths (for the identity check).
  virtual PathRules path_rules() const = 0;
  virtual std::uint32_t own_pid() const = 0;
  virtual vantle::Result<ProcessTable> build_process_table() = 0;
  virtual vantle::Result<ProcessIdentity> read_process_identity(std::uint32_t pid) = 0;
  // `--list`: the listing on standard output.
  virtual vantle::Status list_applications() = 0;
  // The capture backend of this run, not yet set up.
  virtual vantle::Result<std::unique_ptr<CaptureBackend>> open_capture_backend() = 0;
  // The stop sources the backend's loop watches (Windows: the console
  // control handler; Linux: the stop signals), installed once the pipeline
  // runs and kept for the rest of the process's life.
  virtual vantle::Status install_stop_sources() = 0;
};

// A listing, or one capture run: the checks (process table and ancestry
// rules, the translator's and the target's identities), the set-up (the
// backend, the pipeline, the stop sources), a last check that both
// processes still run, the format event, the capture, and the take-down.
// Returns success or the first error; everything is taken down before it
// returns.
vantle::Status run_request(const HostRequest& request, HostPlatform& platform);

// The program once the platform has read its arguments (or failed to):
// parses them and runs the request. A failure of any step is written as the
// one error event; the exit status is 0 or 1.
int run_host(const vantle::Result<std::vector<std::string>>& arguments, HostPlatform& platform);

}  // namespace audio_host
