// Rates from the engine's running totals, and how they are shown.
#include <gtest/gtest.h>

#include "app/core/traffic_meter.h"
#include "common/text.h"

namespace tovix::testing {
namespace {

using app::TrafficMeter;
using namespace std::chrono_literals;

TEST(TrafficMeter, RatesFromDifferencesAndANewRunStartsAgain) {
  TrafficMeter meter;
  const auto t0 = TrafficMeter::Clock::time_point{} + 100s;
  EXPECT_EQ(meter.sample({1000, 5000}, t0).up_rate, 0.0);
  const auto second = meter.sample({3048, 9096}, t0 + 2s);
  EXPECT_DOUBLE_EQ(second.up_rate, 1024.0);
  EXPECT_DOUBLE_EQ(second.down_rate, 2048.0);
  EXPECT_EQ(second.down_total, 9096u);
  // Totals going back belong to a new run: no negative or huge rate.
  const auto restarted = meter.sample({10, 20}, t0 + 3s);
  EXPECT_EQ(restarted.up_rate, 0.0);
  EXPECT_EQ(restarted.down_rate, 0.0);
  EXPECT_DOUBLE_EQ(meter.sample({110, 20}, t0 + 4s).up_rate, 100.0);
}

// A reader slower than its upstream: the relays hand on a whole response at once, then nothing
// while the reader drains its socket buffers. The rate must not drop to 0 between the bursts.
TEST(TrafficMeter, BurstsAreAveragedOverTheWindowNotLostBetweenSamples) {
  constexpr std::uint64_t MiB = 1024 * 1024;
  TrafficMeter meter;
  const auto t0 = TrafficMeter::Clock::time_point{} + 100s;
  struct Step {
    int at;  // seconds after t0, one sample a second, as the engine bar takes them
    std::uint64_t down_total;
    double down_rate;
  };
  const Step steps[] = {
      {0, 0, 0.0},              // first sample: nothing to compare with
      {1, 8 * MiB, 8.0 * MiB},  // the burst
      {2, 8 * MiB, 4.0 * MiB},  // the reader still drains it
      {3, 8 * MiB, 8.0 * MiB / 3},
      {5, 8 * MiB, 8.0 * MiB / 5},   // a late refresh: still over the whole window
      {6, 16 * MiB, 8.0 * MiB / 5},  // the next burst; the first left the window
      {12, 16 * MiB, 0.0},           // idle for a whole window: really 0
  };
  for (const Step& step : steps) {
    const auto reading = meter.sample({100, step.down_total}, t0 + std::chrono::seconds(step.at));
    EXPECT_DOUBLE_EQ(reading.down_rate, step.down_rate) << "at " << step.at << " s";
    EXPECT_EQ(reading.down_total, step.down_total);
  }
}

TEST(TrafficMeter, Formats) {
  EXPECT_EQ(tovix::format_bytes(0), "0 B");
  EXPECT_EQ(tovix::format_bytes(1023), "1023 B");
  EXPECT_EQ(tovix::format_bytes(1536), "1.50 KB");
  EXPECT_EQ(tovix::format_bytes(25u * 1024 * 1024 + 1024 * 512), "25.5 MB");
  EXPECT_EQ(tovix::format_rate(2048.4), "2.00 KB/s");
  EXPECT_EQ(app::format_traffic({1024, 2048, 0, 512}), "上传 1.00 KB (0 B/s)  下载 2.00 KB (512 B/s)");
}

}  // namespace
}  // namespace tovix::testing
