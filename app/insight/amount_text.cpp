#include "app/insight/amount_text.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace tovix::insight {

std::string format_bytes(std::uint64_t bytes) {
  static constexpr std::array<const char*, 5> UNITS{"B", "KB", "MB", "GB", "TB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < UNITS.size()) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text,
                value < 10.0    ? "%.2f %s"
                : value < 100.0 ? "%.1f %s"
                                : "%.0f %s",
                value, UNITS[unit]);
  return text;
}

std::string format_rate(double bytes_per_second) {
  if (!std::isfinite(bytes_per_second) || bytes_per_second < 0.0) bytes_per_second = 0.0;
  return format_bytes(static_cast<std::uint64_t>(std::llround(bytes_per_second))) + "/s";
}

std::string format_duration(double seconds) {
  const long long total = std::isfinite(seconds) && seconds > 0.0 ? static_cast<long long>(seconds) : 0;
  const long long hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, rest);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, rest);
  }
  return text;
}

}  // namespace tovix::insight
