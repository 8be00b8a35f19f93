#include "std_streams.h"

namespace vantle {

std::mutex& standard_stream_lock(StandardStream stream) {
  static std::mutex output_lock;
  static std::mutex error_lock;
  return stream == StandardStream::output ? output_lock : error_lock;
}

}  // namespace vantle
