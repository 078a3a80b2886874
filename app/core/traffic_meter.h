#pragma once
// Turns the engine's running byte totals into current rates, and both into display text.
//
// The relays count a chunk when they hand it to the receiving socket, and socket buffers hold
// megabytes: a reader slower than its upstream takes a whole response at once, then drains it
// for seconds while the totals stand still. The rate is therefore averaged over RATE_WINDOW
// rather than taken from the last sample alone, which would read 0 B/s between such bursts.
#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "common/text.h"

namespace tovix::app {

inline constexpr std::chrono::seconds RATE_WINDOW{5};

struct TrafficReading {
  std::uint64_t up_total = 0;
  std::uint64_t down_total = 0;
  double up_rate = 0.0;  // bytes per second over the rate window
  double down_rate = 0.0;
};

class TrafficMeter {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TrafficMeter(Clock::duration window = RATE_WINDOW) : _window(window) {}

  // Totals that went backwards belong to a new run: the rate starts again from them.
  TrafficReading sample(std::pair<std::uint64_t, std::uint64_t> totals, Clock::time_point now = Clock::now());
  void reset() { _history.clear(); }

 private:
  struct Sample {
    std::pair<std::uint64_t, std::uint64_t> totals;
    Clock::time_point at;
  };
  Clock::duration _window;
  // Oldest first; the front is the newest sample at least a window old, once there is one.
  std::deque<Sample> _history;
};

// "上传 1.5 MB (12.0 KB/s)  下载 20.3 MB (300.0 KB/s)".
std::string format_traffic(const TrafficReading& reading);

}  // namespace tovix::app
