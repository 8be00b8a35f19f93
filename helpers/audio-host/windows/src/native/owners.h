// The owner types of the Windows host: those of win_owners.h, under the
// names the host's code uses, and the COM initialisation that returns its
// owner.
#pragma once

#include "native/win_declarations.h"
#include "result.h"
#include "win_owners.h"

namespace audio_host::win {

using vantle_audio::ComApartment;
using vantle_audio::ComPtr;
using vantle_audio::ThreadTaskRegistration;
using vantle_audio::UniqueBstr;
using vantle_audio::UniqueLocalMemory;
using vantle_audio::UniqueModule;
using vantle_audio::WinHandle;

// The handle of a process instance, opened for waiting; an event.
using ProcessHandle = WinHandle;
using EventHandle = WinHandle;

// COM on the calling thread, in the multithreaded apartment. Error:
// "COM MTA: ..." with the failed HRESULT.
vantle_audio::Result<ComApartment> initialize_com_mta();

}  // namespace audio_host::win
