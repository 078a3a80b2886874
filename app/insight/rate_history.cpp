#include "app/insight/rate_history.h"

#include <utility>

namespace tovix::insight {

RateHistory::RateHistory(std::function<double()> clock, double smoothing_seconds)
    : _clock(std::move(clock)), _smoothing(smoothing_seconds) {}

void RateHistory::record(const std::string& series, TrafficTotals totals) {
  const double now = _clock();
  Series& entry = _series[series];
  if (!entry.recent.empty()) {
    if (now <= entry.last_at()) return;
    const TrafficTotals& last = entry.recent.back().totals;
    if (totals.upload < last.upload || totals.download < last.download) {
      entry.recent.clear();  // a new run: its rate starts from these totals
    } else {
      while (entry.recent.size() > 1 && entry.recent[1].at <= now - _smoothing) entry.recent.pop_front();
      const Reading& base = entry.recent.front();
      const double elapsed = now - base.at;
      entry.points.push_back({now, static_cast<double>(totals.upload - base.totals.upload) / elapsed,
                              static_cast<double>(totals.download - base.totals.download) / elapsed});
    }
  }
  entry.recent.push_back({now, totals});
  _forget_older_than(now - WINDOW_SECONDS);
}

void RateHistory::_forget_older_than(double horizon) {
  for (auto it = _series.begin(); it != _series.end();) {
    auto& points = it->second.points;
    while (!points.empty() && points.front().at < horizon) points.pop_front();
    // A proxy that left the list long ago leaves the choice of series too.
    it = it->second.last_at() < horizon ? _series.erase(it) : std::next(it);
  }
}

std::vector<RatePoint> RateHistory::points(const std::string& series) const {
  auto it = _series.find(series);
  if (it == _series.end()) return {};
  const double horizon = _clock() - WINDOW_SECONDS;
  std::vector<RatePoint> result;
  for (const RatePoint& point : it->second.points) {
    if (point.at >= horizon) result.push_back(point);
  }
  return result;
}

std::vector<std::string> RateHistory::series() const {
  const double horizon = _clock() - WINDOW_SECONDS;
  std::vector<std::string> names;
  for (const auto& [name, entry] : _series) {
    if (entry.last_at() >= horizon) names.push_back(name);
  }
  return names;  // std::map order puts the empty TOTAL name first
}

}  // namespace tovix::insight
