// Files named by UTF-8 paths (on Windows too) and written whole.
#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

#include "result.h"

namespace reference_client {

inline std::filesystem::path path_from_utf8(std::string_view path) {
  return std::filesystem::path(
      std::u8string(reinterpret_cast<const char8_t*>(path.data()), path.size()));
}

// Writes `parts` one after the other to the file at `path`, replacing it.
vantle::Status write_file(const std::string& path, std::initializer_list<std::string_view> parts);

}  // namespace reference_client
