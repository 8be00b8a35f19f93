// UTF-8 as the Linux host meets it: arguments must be valid UTF-8 (as the
// Windows host requires valid UTF-16), and an executable path, which on Linux
// is any byte string, is decoded lossily for the identity and the listing.
// Pure functions; usable from any thread.
#pragma once

#include <string>
#include <string_view>

namespace audio_host {

// Whether `text` is well-formed UTF-8: shortest forms only, no surrogates,
// nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text);

// `bytes` with every maximal ill-formed subsequence replaced by U+FFFD (the
// "substitution of maximal subparts" practice); valid text is unchanged.
std::string utf8_lossy(std::string_view bytes);

}  // namespace audio_host
