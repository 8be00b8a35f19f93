// The Windows audio host's entry point: its UTF-16 arguments as UTF-8, then
// the run sequence every host shares (run.h). Standard input is never read.
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

#include "native/platform.h"
#include "run.h"
#include "text.h"

namespace {

vantle::Result<std::vector<std::string>> utf8_arguments(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    std::optional<std::string> argument =
        vantle::utf16_to_utf8_strict(argv[i], std::wcslen(argv[i]));
    if (!argument) {
      return vantle::make_error("arguments must be valid Unicode text");
    }
    arguments.push_back(std::move(*argument));
  }
  return arguments;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  audio_host::win::WindowsPlatform platform;
  return audio_host::run_host(utf8_arguments(argc, argv), platform);
}
