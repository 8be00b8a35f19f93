#include "png.h"

#include <algorithm>
#include <array>

namespace reference_client {
namespace {

void put_u32_be(std::string& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<char>((v >> shift) & 0xFF));
  }
}

std::span<const std::uint8_t> bytes_of(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// One chunk: length, type, data, CRC of type and data.
void put_chunk(std::string& out, const char* type, const std::string& data) {
  put_u32_be(out, static_cast<std::uint32_t>(data.size()));
  std::string body(type, 4);
  body += data;
  out += body;
  put_u32_be(out, crc32(bytes_of(body)));
}

}  // namespace

void RgbImage::set(std::uint32_t x, std::uint32_t y, std::uint8_t r, std::uint8_t g,
                   std::uint8_t b) {
  const std::size_t at = (std::size_t(y) * width + x) * 3;
  pixels[at] = r;
  pixels[at + 1] = g;
  pixels[at + 2] = b;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      t[n] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (const std::uint8_t b : bytes) {
    c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  }
  return c ^ 0xFFFFFFFFu;
}

std::uint32_t adler32(std::span<const std::uint8_t> bytes) {
  constexpr std::uint32_t kModulus = 65521;
  std::uint32_t a = 1, b = 0;
  for (const std::uint8_t byte : bytes) {
    a = (a + byte) % kModulus;
    b = (b + a) % kModulus;
  }
  return (b << 16) | a;
}

std::string zlib_stored(std::span<const std::uint8_t> data) {
  constexpr std::size_t kMaxBlock = 65535;
  std::string out;
  out.push_back(0x78);  // deflate, 32 KB window
  out.push_back(0x01);  // no dictionary, fastest; (0x78 << 8 | 0x01) % 31 == 0
  std::size_t at = 0;
  do {
    const std::size_t length = std::min(kMaxBlock, data.size() - at);
    const bool last = at + length == data.size();
    out.push_back(last ? 1 : 0);  // BFINAL, BTYPE 00 (stored)
    out.push_back(static_cast<char>(length & 0xFF));
    out.push_back(static_cast<char>(length >> 8));
    out.push_back(static_cast<char>(~length & 0xFF));
    out.push_back(static_cast<char>((~length >> 8) & 0xFF));
    out.append(reinterpret_cast<const char*>(data.data() + at), length);
    at += length;
  } while (at < data.size());
  put_u32_be(out, adler32(data));
  return out;
}

std::string encode_png(const RgbImage& image) {
  std::string out = "\x89PNG\r\n\x1a\n";
  std::string header;
  put_u32_be(header, image.width);
  put_u32_be(header, image.height);
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, filter 0, no interlace
  put_chunk(out, "IHDR", header);

  const std::size_t row_bytes = std::size_t(image.width) * 3;
  std::vector<std::uint8_t> raw;
  raw.reserve((row_bytes + 1) * image.height);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    raw.push_back(0);  // filter type: none
    const auto row = image.pixels.begin() + std::ptrdiff_t(y * row_bytes);
    raw.insert(raw.end(), row, row + std::ptrdiff_t(row_bytes));
  }
  put_chunk(out, "IDAT", zlib_stored(raw));
  put_chunk(out, "IEND", "");
  return out;
}

}  // namespace reference_client
