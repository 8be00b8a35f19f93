#include "shared/proc_stat.h"

#include <charconv>
#include <limits>

namespace audio_host {
namespace {

// The next space-separated field of `rest`, which is advanced past it.
std::string_view next_field(std::string_view& rest) {
  while (!rest.empty() && rest.front() == ' ') {
    rest.remove_prefix(1);
  }
  const std::size_t end = rest.find(' ');
  const std::string_view field = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return field;
}

template <class T>
std::optional<T> parse_decimal(std::string_view text) {
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<ProcStat> parse_proc_stat(std::string_view line) {
  const std::size_t close = line.rfind(')');
  if (close == std::string_view::npos || line.find('(') > close) {
    return std::nullopt;
  }
  // After the name: field 3 (state) is the first, so field k is number k - 2.
  std::string_view rest = line.substr(close + 1);
  ProcStat stat;
  for (int field = 3; field <= 22; ++field) {
    const std::string_view text = next_field(rest);
    if (text.empty()) {
      return std::nullopt;
    }
    if (field == 4) {
      const auto parent = parse_decimal<std::uint32_t>(text);
      if (!parent) {
        return std::nullopt;
      }
      stat.parent_pid = *parent;
    } else if (field == 22) {
      const auto ticks = parse_decimal<std::uint64_t>(
          text.back() == '\n' ? text.substr(0, text.size() - 1) : text);
      if (!ticks) {
        return std::nullopt;
      }
      stat.start_ticks = *ticks;
    }
  }
  return stat;
}

std::uint64_t start_time_from_ticks(std::uint64_t ticks, std::uint64_t ticks_per_second) {
  constexpr std::uint64_t kUnitsPerSecond = 10'000'000;
  const std::uint64_t whole = ticks / ticks_per_second;
  const std::uint64_t part = ticks % ticks_per_second;
  // part < ticks_per_second, so part * 10^7 / ticks_per_second < 10^7; the
  // product itself fits for any ticks_per_second below 1.8e12.
  return whole * kUnitsPerSecond + part * kUnitsPerSecond / ticks_per_second;
}

}  // namespace audio_host
