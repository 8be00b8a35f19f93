// The packet loop's thread with the multimedia class scheduler: while it
// drains the capture stream, the main thread is registered for the "Audio"
// task, so that it is not starved by other programs (the stream's buffer,
// of the engine's own choosing, holds only a few tens of milliseconds).
//
// Threads: registered and reverted on the main thread, which alone holds
// the registration (an owner of native/owners.h).
#pragma once

#include "native/owners.h"

namespace audio_host::win {

// Registers the calling thread for `task` (a task the system knows, such as
// "Audio"). The system may refuse (no scheduler service, an unknown task):
// the owner is then empty and the thread keeps its normal priority; that is
// never an error.
ThreadTaskRegistration register_thread_for_task(const wchar_t* task);

inline constexpr wchar_t kAudioTask[] = L"Audio";

}  // namespace audio_host::win
