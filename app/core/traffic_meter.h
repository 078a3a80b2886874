#pragma once
// Turns the engine's running byte totals into current rates, and both into display text.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "common/text.h"

namespace tovix::app {

struct TrafficReading {
  std::uint64_t up_total = 0;
  std::uint64_t down_total = 0;
  double up_rate = 0.0;  // bytes per second since the previous sample
  double down_rate = 0.0;
};

class TrafficMeter {
 public:
  using Clock = std::chrono::steady_clock;

  // Totals that went backwards belong to a new run: the rate starts again from them.
  TrafficReading sample(std::pair<std::uint64_t, std::uint64_t> totals, Clock::time_point now = Clock::now());
  void reset() { _previous.reset(); }

 private:
  struct Sample {
    std::pair<std::uint64_t, std::uint64_t> totals;
    Clock::time_point at;
  };
  std::optional<Sample> _previous;
};

// "上传 1.5 MB (12.0 KB/s)  下载 20.3 MB (300.0 KB/s)".
std::string format_traffic(const TrafficReading& reading);

}  // namespace tovix::app
