// The system's message for an error code (Windows): one FormatMessageW
// lookup behind both of the host's error texts, the "(0xHHHHHHHH)" text of
// a failed platform call and the " (os error N)" text of the input/output
// and thread layer. Each presents the message in its own way.
#pragma once

#include <cstdint>
#include <string>

namespace vantle {

struct SystemMessage {
  // The message as the system wrote it (trailing line breaks included), or
  // empty when the lookup failed.
  std::wstring text;
  // GetLastError after a failed lookup, 0 after a successful one.
  std::uint32_t lookup_error = 0;
};

// FormatMessageW(FROM_SYSTEM | IGNORE_INSERTS, language 0) for `code`. A code
// with the NT-status facility bit (0x10000000) is looked up without that bit
// in ntdll.dll's message table, as the system keeps NTSTATUS texts there.
SystemMessage look_up_system_message(std::uint32_t code);

}  // namespace vantle
