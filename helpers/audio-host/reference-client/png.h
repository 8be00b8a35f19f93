// A small PNG writer: 8-bit RGB, no compression (the image data is a zlib
// stream of stored deflate blocks), so it needs no library. Portable; pure
// functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace reference_client {

struct RgbImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // rows top to bottom, 3 bytes a pixel

  void set(std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g, std::uint8_t b);
};

// CRC-32 as PNG and zlib's gzip use it (reflected, polynomial 0xEDB88320).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);
// Adler-32 as zlib uses it.
std::uint32_t adler32(std::span<const std::uint8_t> bytes);

// A zlib stream (RFC 1950) of stored deflate blocks (RFC 1951) holding `data`.
std::string zlib_stored(std::span<const std::uint8_t> data);

// The PNG file for `image` (each row filtered with filter type 0).
std::string encode_png(const RgbImage& image);

}  // namespace reference_client
