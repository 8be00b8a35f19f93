#include "files.h"

#include <fstream>

namespace reference_client {

vantle::Status write_file(const std::string& path, std::initializer_list<std::string_view> parts) {
  std::ofstream out(path_from_utf8(path), std::ios::binary | std::ios::trunc);
  for (const std::string_view part : parts) {
    out.write(part.data(), static_cast<std::streamsize>(part.size()));
  }
  out.close();
  if (!out) {
    return vantle::make_error("cannot write " + path);
  }
  return vantle::Status::success();
}

}  // namespace reference_client
