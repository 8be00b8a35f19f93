#include "wav.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "files.h"

namespace reference_client {
namespace {

void put_u16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>(v >> 8));
}

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  }
}

std::uint32_t u16_at(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t(b[at]) | std::uint32_t(b[at + 1]) << 8;
}

std::uint32_t u32_at(std::span<const std::uint8_t> b, std::size_t at) {
  return u16_at(b, at) | u16_at(b, at + 2) << 16;
}

}  // namespace

std::vector<std::int16_t> decode_s16le(std::span<const std::uint8_t> bytes) {
  std::vector<std::int16_t> samples(bytes.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  }
  return samples;
}

std::string wav_header(std::uint32_t sample_rate, std::uint32_t data_bytes) {
  std::string header = "RIFF";
  put_u32(header, 36 + data_bytes);
  header += "WAVEfmt ";
  put_u32(header, 16);  // fmt chunk size
  put_u16(header, 1);   // PCM
  put_u16(header, 1);   // mono
  put_u32(header, sample_rate);
  put_u32(header, sample_rate * 2);  // bytes per second
  put_u16(header, 2);                // block align
  put_u16(header, 16);               // bits per sample
  header += "data";
  put_u32(header, data_bytes);
  return header;
}

vantle::Result<MonoAudio> parse_wav(std::span<const std::uint8_t> bytes) {
  using vantle::make_error;
  const auto tag = [&](std::size_t at, const char* text) {
    return bytes.size() >= at + 4 && std::equal(text, text + 4, bytes.begin() + std::ptrdiff_t(at));
  };
  if (!tag(0, "RIFF") || !tag(8, "WAVE")) {
    return make_error("not a WAV file");
  }
  std::uint32_t channels = 0, rate = 0;
  bool have_format = false;
  std::size_t at = 12;
  while (at + 8 <= bytes.size()) {
    const std::size_t size = u32_at(bytes, at + 4);
    const std::size_t body = at + 8;
    if (tag(at, "fmt ")) {
      if (size < 16 || body + size > bytes.size()) {
        return make_error("WAV format chunk is cut short");
      }
      const std::uint32_t format = u16_at(bytes, body);
      const bool pcm =
          format == 1 || (format == 0xFFFE && size >= 40 && u16_at(bytes, body + 24) == 1);
      channels = u16_at(bytes, body + 2);
      rate = u32_at(bytes, body + 4);
      if (!pcm || u16_at(bytes, body + 14) != 16 || channels == 0 || rate == 0) {
        return make_error("WAV file is not 16-bit PCM");
      }
      have_format = true;
    } else if (tag(at, "data")) {
      if (!have_format) {
        return make_error("WAV data comes before its format");
      }
      const std::size_t length = std::min(size, bytes.size() - body);
      const std::vector<std::int16_t> interleaved = decode_s16le(bytes.subspan(body, length));
      MonoAudio audio;
      audio.rate = rate;
      audio.samples.resize(interleaved.size() / channels);
      for (std::size_t i = 0; i < audio.samples.size(); ++i) {
        int sum = 0;
        for (std::size_t ch = 0; ch < channels; ++ch) {
          sum += interleaved[i * channels + ch];
        }
        audio.samples[i] = static_cast<std::int16_t>(sum / int(channels));
      }
      return audio;
    }
    at = body + size + (size & 1);  // chunks are padded to even sizes
  }
  return make_error("WAV file has no data");
}

vantle::Result<MonoAudio> read_wav_file(const std::string& path) {
  std::ifstream in(path_from_utf8(path), std::ios::binary);
  if (!in) {
    return vantle::make_error("cannot open " + path);
  }
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                        std::istreambuf_iterator<char>()};
  auto audio = parse_wav(bytes);
  if (!audio) {
    return vantle::make_error(path + ": " + audio.error());
  }
  return audio;
}

}  // namespace reference_client
