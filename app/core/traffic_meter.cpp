#include "app/core/traffic_meter.h"

namespace tovix::app {

TrafficReading TrafficMeter::sample(std::pair<std::uint64_t, std::uint64_t> totals, Clock::time_point now) {
  if (!_history.empty()) {
    const auto& last = _history.back().totals;
    if (totals.first < last.first || totals.second < last.second) _history.clear();
  }
  while (_history.size() >= 2 && _history[1].at <= now - _window) _history.pop_front();
  TrafficReading reading{totals.first, totals.second, 0.0, 0.0};
  if (!_history.empty()) {
    const Sample& base = _history.front();
    const double seconds = std::chrono::duration<double>(now - base.at).count();
    if (seconds > 0.0) {
      reading.up_rate = static_cast<double>(totals.first - base.totals.first) / seconds;
      reading.down_rate = static_cast<double>(totals.second - base.totals.second) / seconds;
    }
  }
  _history.push_back({totals, now});
  return reading;
}

std::string format_traffic(const TrafficReading& reading) {
  return "上传 " + format_bytes(reading.up_total) + " (" + format_rate(reading.up_rate) + ")  下载 " +
         format_bytes(reading.down_total) + " (" + format_rate(reading.down_rate) + ")";
}

}  // namespace tovix::app
