#include "wav.h"

#include <gtest/gtest.h>

#include <cstring>

namespace reference_client {
namespace {

std::string u16(std::uint32_t v) {
  return {char(v & 0xFF), char(v >> 8)};
}
std::string u32(std::uint32_t v) {
  return u16(v & 0xFFFF) + u16(v >> 16);
}
std::string samples_bytes(const std::vector<std::int16_t>& samples) {
  std::string bytes;
  for (const std::int16_t s : samples) {
    bytes += u16(std::uint16_t(s));
  }
  return bytes;
}
std::string chunk(const std::string& tag, const std::string& body) {
  return tag + u32(std::uint32_t(body.size())) + body +
         (body.size() % 2 ? std::string(1, '\0') : "");
}
std::string fmt(std::uint32_t format, std::uint32_t channels, std::uint32_t rate,
                std::uint32_t bits) {
  std::string body = u16(format) + u16(channels) + u32(rate) + u32(rate * channels * bits / 8) +
                     u16(channels * bits / 8) + u16(bits);
  if (format == 0xFFFE) {  // cbSize, valid bits, channel mask, sub-format GUID (PCM)
    body += u16(22) + u16(bits) + u32(0) + u16(1) + std::string(14, '\x01');
  }
  return chunk("fmt ", body);
}
std::string riff(const std::string& chunks) {
  return "RIFF" + u32(std::uint32_t(4 + chunks.size())) + "WAVE" + chunks;
}
vantle::Result<MonoAudio> parse(const std::string& file) {
  return parse_wav({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()});
}

TEST(Wav, DecodesLittleEndianSamples) {
  const std::uint8_t bytes[] = {0xFE, 0xFF, 0xFF, 0x7F, 0x01, 0x80, 0x07};
  EXPECT_EQ(decode_s16le(bytes), (std::vector<std::int16_t>{-2, 32767, -32767}));
}

TEST(Wav, ReadsBackTheHeaderItWrites) {
  const std::vector<std::int16_t> samples = {0, 1, -1, 32767, -32768, 1234};
  const std::string data = samples_bytes(samples);
  const std::string file = wav_header(48000, std::uint32_t(data.size())) + data;
  ASSERT_EQ(file.size(), 44 + data.size());
  EXPECT_EQ(file.substr(0, 4), "RIFF");
  EXPECT_EQ(file.substr(4, 4), u32(std::uint32_t(36 + data.size())));
  EXPECT_EQ(file.substr(28, 4), u32(96000));  // bytes per second
  const auto audio = parse(file);
  ASSERT_TRUE(audio.ok()) << audio.error();
  EXPECT_EQ(audio.value().rate, 48000u);
  EXPECT_EQ(audio.value().samples, samples);
}

TEST(Wav, ReadsWhatOtherProgramsWrite) {
  const std::vector<std::int16_t> stereo = {100, 300, -100, -301, 32767, 32767};
  const std::string mono_data = samples_bytes({5, -5, 7});
  const std::string list = chunk("LIST", "INFOISFT\x03\0\0\0ab\0");  // odd size: padded
  struct Case {
    const char* name;
    std::string file;
    std::uint32_t rate;
    std::vector<std::int16_t> samples;
  } cases[] = {
      {"stereo, averaged",
       riff(fmt(1, 2, 44100, 16) + chunk("data", samples_bytes(stereo))),
       44100,
       {200, -200, 32767}},
      {"extensible PCM",
       riff(fmt(0xFFFE, 1, 22050, 16) + chunk("data", mono_data)),
       22050,
       {5, -5, 7}},
      {"other chunks first",
       riff(list + fmt(1, 1, 16000, 16) + list + chunk("data", mono_data)),
       16000,
       {5, -5, 7}},
      // Written to a pipe: the lengths were never filled in.
      {"data longer than the file",
       "RIFF" + u32(0xFFFFFFFF) + "WAVE" + fmt(1, 1, 22050, 16) + "data" + u32(0xFFFFFFFF) +
           mono_data + "\x01",
       22050,
       {5, -5, 7}},
  };
  for (const Case& c : cases) {
    const auto audio = parse(c.file);
    ASSERT_TRUE(audio.ok()) << c.name << ": " << audio.error();
    EXPECT_EQ(audio.value().rate, c.rate) << c.name;
    EXPECT_EQ(audio.value().samples, c.samples) << c.name;
  }
}

TEST(Wav, RefusesWhatItCannotRead) {
  const std::string data = chunk("data", samples_bytes({1, 2}));
  struct Case {
    const char* name;
    std::string file;
    const char* error;
  } cases[] = {
      {"not RIFF", "RIFX" + u32(4) + "WAVE", "not a WAV file"},
      {"too short", "RIFF", "not a WAV file"},
      {"8-bit", riff(fmt(1, 1, 8000, 8) + data), "WAV file is not 16-bit PCM"},
      {"float", riff(fmt(3, 1, 8000, 16) + data), "WAV file is not 16-bit PCM"},
      {"no channels", riff(fmt(1, 0, 8000, 16) + data), "WAV file is not 16-bit PCM"},
      {"data first", riff(data + fmt(1, 1, 8000, 16)), "WAV data comes before its format"},
      {"format cut short", riff("fmt " + u32(16) + "abc"), "WAV format chunk is cut short"},
      {"no data", riff(fmt(1, 1, 8000, 16)), "WAV file has no data"},
  };
  for (const Case& c : cases) {
    const auto audio = parse(c.file);
    ASSERT_FALSE(audio.ok()) << c.name;
    EXPECT_EQ(audio.error(), c.error) << c.name;
  }
}

}  // namespace
}  // namespace reference_client
