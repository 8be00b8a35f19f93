// The stream format both hosts share: what they ask of their system, and the
// PCM they write on standard output, as the format event announces it.
#pragma once

#include <cstdint>

#include "capture.h"
#include "pcm_output.h"

namespace audio_host {

// Interleaved 32-bit float stereo at 48000 Hz, asked of the system (which
// converts whatever the captured programs play).
inline constexpr std::uint16_t kCaptureChannels = 2;
inline constexpr std::uint32_t kCaptureSampleRate = 48000;
inline constexpr vantle_audio::CaptureFormat kCaptureFormat{kCaptureChannels, kCaptureSampleRate};

// The PCM stream: the capture's rate (nothing is resampled) and the block
// assembler's mono, signed 16-bit little-endian.
inline constexpr std::uint32_t kPcmSampleRate = kCaptureSampleRate;
inline constexpr std::uint16_t kPcmChannels = vantle_audio::kPcmChannels;

}  // namespace audio_host
