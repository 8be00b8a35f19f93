#include "host_process.h"

namespace reference_client {

std::string describe(const ExitStatus& status) {
  return status.exited ? std::to_string(status.code) : "signal " + std::to_string(status.code);
}

}  // namespace reference_client
