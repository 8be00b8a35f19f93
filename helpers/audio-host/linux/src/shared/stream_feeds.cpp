#include "shared/stream_feeds.h"

#include <algorithm>

namespace audio_host::linux_host {

bool carries_other_streams(std::span<const StreamFeed> feeds) {
  return std::any_of(feeds.begin(), feeds.end(),
                     [](StreamFeed feed) { return feed != StreamFeed::capture_source; });
}

}  // namespace audio_host::linux_host
