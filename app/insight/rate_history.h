#pragma once
// Upload and download rates of the last ten minutes, one series for the whole engine and one
// per proxy, made from the cumulative byte totals read about once a second. The clock is
// injected (seconds, any origin) so that tests decide what a second is.
//
// Each point averages over the last few seconds: the relays count a chunk when they hand it to
// the receiving socket, whose buffer may take megabytes at once, so per-second deltas alone swing
// between a burst and 0 B/s while the application drains them (the engine bar averages the same
// way, and the graph must not contradict it).
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/insight/insight_core_export.h"

namespace tovix::insight {

struct TrafficTotals {
  std::uint64_t upload = 0;
  std::uint64_t download = 0;
};

// The engine's totals at one moment: all relays together, and each proxy ("host:port").
struct TrafficReading {
  TrafficTotals total;
  std::map<std::string, TrafficTotals> per_proxy;
};

// Bytes per second over the averaging interval that ends at `at`.
struct RatePoint {
  double at = 0.0;
  double upload = 0.0;
  double download = 0.0;
};

class INSIGHT_CORE_EXPORT RateHistory {
 public:
  static constexpr double WINDOW_SECONDS = 600.0;
  static constexpr double SMOOTHING_SECONDS = 5.0;
  // The name of the series for the engine as a whole.
  static constexpr const char* TOTAL = "";

  // smoothing_seconds 0 gives the plain growth since the previous reading.
  explicit RateHistory(std::function<double()> clock, double smoothing_seconds = SMOOTHING_SECONDS);

  // Totals that fall (a restarted engine, a replaced relay) start the series afresh instead
  // of giving a negative rate; a reading at the same instant as the last one is ignored.
  void record(const std::string& series, TrafficTotals totals);

  // Oldest first, none older than the window.
  std::vector<RatePoint> points(const std::string& series) const;
  // Every series read within the window, TOTAL first when present.
  std::vector<std::string> series() const;
  double now() const { return _clock(); }

 private:
  struct Reading {
    double at = 0.0;
    TrafficTotals totals;
  };
  struct Series {
    // Oldest first: the newest reading at least the smoothing interval old, then all after it.
    std::deque<Reading> recent;
    std::deque<RatePoint> points;
    double last_at() const { return recent.back().at; }
  };
  void _forget_older_than(double horizon);

  std::function<double()> _clock;
  double _smoothing;
  std::map<std::string, Series> _series;
};

}  // namespace tovix::insight
