#include "native/audio_thread.h"

namespace audio_host::win {

ThreadTaskRegistration register_thread_for_task(const wchar_t* task) {
  DWORD task_index = 0;
  return ThreadTaskRegistration(AvSetMmThreadCharacteristicsW(task, &task_index));
}

}  // namespace audio_host::win
