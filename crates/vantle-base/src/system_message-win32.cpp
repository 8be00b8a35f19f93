#include "system_message.h"

#include "win_handle.h"

namespace vantle {

SystemMessage look_up_system_message(std::uint32_t code) {
  DWORD flags =
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD message_id = code;
  UniqueModule ntdll;
  if ((message_id & 0x10000000u) != 0) {  // an NTSTATUS wrapped in an HRESULT
    message_id &= ~0x10000000u;
    ntdll.reset(LoadLibraryExA("ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (ntdll) {
      flags |= FORMAT_MESSAGE_FROM_HMODULE;
    }
  }
  UniqueLocalMemory buffer;
  // With ALLOCATE_BUFFER the function writes the buffer's address.
  const DWORD length = FormatMessageW(flags, ntdll.get(), message_id, 0,
                                      reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
  SystemMessage message;
  if (length == 0 || !buffer) {
    message.lookup_error = GetLastError();
    return message;
  }
  message.text.assign(buffer.get(), length);
  return message;
}

}  // namespace vantle
