#include "app/core/traffic_meter.h"

#include <array>
#include <cmath>
#include <cstdio>

namespace tovix::app {

TrafficReading TrafficMeter::sample(std::pair<std::uint64_t, std::uint64_t> totals, Clock::time_point now) {
  TrafficReading reading{totals.first, totals.second, 0.0, 0.0};
  if (_previous && totals.first >= _previous->totals.first && totals.second >= _previous->totals.second) {
    const double seconds = std::chrono::duration<double>(now - _previous->at).count();
    if (seconds > 0.0) {
      reading.up_rate = static_cast<double>(totals.first - _previous->totals.first) / seconds;
      reading.down_rate = static_cast<double>(totals.second - _previous->totals.second) / seconds;
    }
  }
  _previous = Sample{totals, now};
  return reading;
}

std::string format_bytes(std::uint64_t bytes) {
  static constexpr std::array<const char*, 5> units = {"B", "KB", "MB", "GB", "TB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < units.size()) {
    value /= 1024.0;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.2f %s" : "%.1f %s", value, units[unit]);
  return text;
}

std::string format_rate(double bytes_per_second) {
  return format_bytes(static_cast<std::uint64_t>(std::llround(std::max(0.0, bytes_per_second)))) + "/s";
}

std::string format_traffic(const TrafficReading& reading) {
  return "上传 " + format_bytes(reading.up_total) + " (" + format_rate(reading.up_rate) + ")  下载 " +
         format_bytes(reading.down_total) + " (" + format_rate(reading.down_rate) + ")";
}

}  // namespace tovix::app
