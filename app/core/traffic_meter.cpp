#include "app/core/traffic_meter.h"

#include <cmath>

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

std::string format_traffic(const TrafficReading& reading) {
  return "上传 " + format_bytes(reading.up_total) + " (" + format_rate(reading.up_rate) + ")  下载 " +
         format_bytes(reading.down_total) + " (" + format_rate(reading.down_rate) + ")";
}

}  // namespace tovix::app
