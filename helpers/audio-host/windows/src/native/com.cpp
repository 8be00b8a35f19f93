#include "native/owners.h"
#include "native/system_error.h"

namespace audio_host::win {

vantle::Result<ComApartment> initialize_com_mta() {
  const HRESULT result = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(result)) {
    return vantle::make_error(context_message("COM MTA", SystemError::from_hresult(result)));
  }
  return ComApartment(true);  // S_FALSE too: every success is balanced
}

}  // namespace audio_host::win
