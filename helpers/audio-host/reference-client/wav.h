// WAV files of 16-bit PCM: the header the client writes and a reader for
// what other programs write (a reference rendering, a capture to analyse).
// Portable; pure functions.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "result.h"

namespace reference_client {

// Little-endian 16-bit samples from raw bytes; a trailing odd byte is left out.
std::vector<std::int16_t> decode_s16le(std::span<const std::uint8_t> bytes);

// A canonical 44-byte WAV header for mono 16-bit PCM.
std::string wav_header(std::uint32_t sample_rate, std::uint32_t data_bytes);

struct MonoAudio {
  std::uint32_t rate = 0;
  std::vector<std::int16_t> samples;
};

// 16-bit PCM (format 1, or WAVE_FORMAT_EXTENSIBLE with PCM), any channel
// count, mixed to mono by averaging. Chunks other than "fmt " and "data" are
// skipped. A data chunk longer than the file (a header written before the
// length was known, as by a program writing to a pipe) ends with the file.
vantle::Result<MonoAudio> parse_wav(std::span<const std::uint8_t> bytes);

// The file at `path` (UTF-8), through parse_wav.
vantle::Result<MonoAudio> read_wav_file(const std::string& path);

}  // namespace reference_client
