#include "png.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <optional>

#include "spectrogram.h"

namespace reference_client {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
std::uint32_t be32(const std::string& s, std::size_t at) {
  return std::uint32_t(std::uint8_t(s[at])) << 24 | std::uint32_t(std::uint8_t(s[at + 1])) << 16 |
         std::uint32_t(std::uint8_t(s[at + 2])) << 8 | std::uint32_t(std::uint8_t(s[at + 3]));
}

// Reads a zlib stream of stored blocks back, checking every field; nullopt
// where a field is wrong.
std::optional<std::string> inflate_stored(const std::string& z) {
  if (z.size() < 6 || (std::uint8_t(z[0]) << 8 | std::uint8_t(z[1])) % 31 != 0 ||
      (z[0] & 0x0F) != 8) {
    return std::nullopt;
  }
  std::string data;
  std::size_t at = 2;
  for (bool last = false; !last;) {
    if (at + 5 > z.size() || (z[at] & 0x06) != 0) {
      return std::nullopt;  // not a stored block
    }
    last = z[at] & 1;
    const std::uint32_t length = std::uint8_t(z[at + 1]) | std::uint8_t(z[at + 2]) << 8;
    const std::uint32_t inverse = std::uint8_t(z[at + 3]) | std::uint8_t(z[at + 4]) << 8;
    if ((length ^ 0xFFFF) != inverse || at + 5 + length > z.size()) {
      return std::nullopt;
    }
    data.append(z, at + 5, length);
    at += 5 + length;
  }
  if (at + 4 != z.size() || be32(z, at) != adler32(bytes_of(data))) {
    return std::nullopt;
  }
  return data;
}

TEST(Png, ChecksumsMatchTheirStandardCheckValues) {
  EXPECT_EQ(crc32(bytes_of("123456789")), 0xCBF43926u);
  EXPECT_EQ(crc32(bytes_of("")), 0u);
  EXPECT_EQ(crc32(bytes_of("IEND")), 0xAE426082u);  // every PNG ends with it
  EXPECT_EQ(adler32(bytes_of("Wikipedia")), 0x11E60398u);
  EXPECT_EQ(adler32(bytes_of("")), 1u);
  // Large enough for the sums to wrap around the modulus many times.
  const std::string ones(100000, '\xFF');
  EXPECT_EQ(adler32(bytes_of(ones)), 0x149A302Cu);
}

TEST(Png, StoredBlocksHoldAnyLength) {
  for (const std::size_t size : {0u, 1u, 65535u, 65536u, 200000u}) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
      data[i] = char(i * 7 + i / 300);
    }
    const std::string z = zlib_stored(bytes_of(data));
    const std::size_t blocks = size == 0 ? 1 : (size + 65534) / 65535;
    EXPECT_EQ(z.size(), 2 + blocks * 5 + size + 4) << size;
    EXPECT_EQ(inflate_stored(z), data) << size;
  }
}

TEST(Png, WritesAValidFileOfThePixels) {
  RgbImage image{3, 2, std::vector<std::uint8_t>(18, 0)};
  image.set(0, 0, 255, 0, 0);
  image.set(2, 1, 1, 2, 3);
  const std::string png = encode_png(image);
  ASSERT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  std::vector<std::string> types;
  std::string idat, ihdr;
  for (std::size_t at = 8; at < png.size();) {
    ASSERT_LE(at + 12, png.size());
    const std::uint32_t length = be32(png, at);
    const std::string type = png.substr(at + 4, 4);
    const std::string body = png.substr(at + 8, length);
    EXPECT_EQ(be32(png, at + 8 + length), crc32(bytes_of(type + body))) << type;
    types.push_back(type);
    (type == "IHDR" ? ihdr : idat) += type == "IEND" ? "" : body;
    at += 12 + length;
  }
  EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
  EXPECT_EQ(ihdr, std::string("\0\0\0\x03\0\0\0\x02\x08\x02\0\0\0", 13));
  // Filter byte 0, then the row's pixels.
  const std::string rows =
      std::string("\0\xFF\0\0\0\0\0\0\0\0", 10) + std::string("\0\0\0\0\0\0\0\x01\x02\x03", 10);
  EXPECT_EQ(inflate_stored(idat), rows);
}

TEST(Spectrogram, PutsATonesEnergyInItsRowAndSilenceInBlack) {
  std::vector<std::int16_t> samples(48000);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double tone = 16000 * std::sin(2 * std::numbers::pi * 3000 * double(i) / 48000);
    samples[i] = std::int16_t(i < 24000 ? tone : 0);
  }
  const RgbImage image = spectrogram(samples, 48000);
  ASSERT_EQ(image.height, 341u);  // 0-8 kHz in 23.4375 Hz bins
  ASSERT_EQ(image.width, (48000u - 2048) / 480 + 1);
  const auto brightness = [&](std::uint32_t x, std::uint32_t y) {
    const std::size_t at = (std::size_t(y) * image.width + x) * 3;
    return int(image.pixels[at]) + image.pixels[at + 1] + image.pixels[at + 2];
  };
  const std::uint32_t tone_row = image.height - 1 - 128;  // 3000 Hz / 23.4375 Hz
  for (const std::uint32_t x : {5u, 20u, 45u}) {          // while the tone plays
    std::uint32_t brightest = 0;
    for (std::uint32_t y = 0; y < image.height; ++y) {
      if (brightness(x, y) > brightness(x, brightest)) {
        brightest = y;
      }
    }
    EXPECT_EQ(brightest, tone_row) << x;
  }
  // In the silence only the dotted grid shows (grey 96 or black).
  for (std::uint32_t y = 0; y < image.height; ++y) {
    for (const std::uint32_t x : {60u, 61u, 90u}) {
      EXPECT_TRUE(brightness(x, y) == 0 || brightness(x, y) == 3 * 96) << x << "," << y;
    }
  }
}

}  // namespace
}  // namespace reference_client
