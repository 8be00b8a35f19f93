// The reference client's entry point: the arguments as UTF-8, then the
// command (see client.h).
#include <cstdio>
#include <string>
#include <vector>

#include "client.h"

#ifdef _WIN32
#include "text.h"
#endif

namespace {

int run(const std::vector<std::string>& arguments) {
  auto options = reference_client::parse_options(arguments);
  if (!options) {
    std::fprintf(stderr, "reference-client: %s\n%s", options.error().c_str(),
                 reference_client::kUsage);
    return 2;
  }
  return reference_client::run(options.value());
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    arguments.push_back(vantle::utf16_to_utf8_lossy(argv[i], std::wcslen(argv[i])));
  }
  return run(arguments);
}
#else
int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
