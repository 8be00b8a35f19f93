// How the parts of the libpulse capture end it: whatever finds a reason to
// stop (a stop source, a failure of the server or of a monitor) tells the
// loop's owner, which quits the main loop with that result. Main thread,
// from inside the loop.
#pragma once

#include "result.h"

namespace audio_host::linux_host {

class CaptureStopper {
 public:
  // The first call decides the capture's result; later calls change nothing.
  virtual void stop(vantle::Status result) = 0;
  // Whether stop() was called: nothing new is started after it.
  virtual bool stopped() const = 0;

 protected:
  ~CaptureStopper() = default;
};

}  // namespace audio_host::linux_host
