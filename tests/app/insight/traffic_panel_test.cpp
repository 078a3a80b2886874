#include <gtest/gtest.h>

#include <QComboBox>

#include "app/insight/traffic_panel.h"

namespace tovix::insight {
namespace {

TEST(TrafficPanel, OffersEachProxysSeriesBesideTheTotal) {
  double now = 0.0;
  TrafficReading reading;
  TrafficPanel panel([&] { return reading; }, [&] { return now; });
  for (int second = 0; second < 5; ++second) {
    reading.total = {std::uint64_t(second) * 300, std::uint64_t(second) * 3000};
    reading.per_proxy["a.example:1080"] = {std::uint64_t(second) * 100, std::uint64_t(second) * 1000};
    reading.per_proxy["b.example:8080"] = {std::uint64_t(second) * 200, std::uint64_t(second) * 2000};
    panel.sample();
    now += 1.0;
  }
  QComboBox* choice = panel.series_choice();
  ASSERT_EQ(choice->count(), 3);
  EXPECT_EQ(choice->itemText(0), "全部代理");
  EXPECT_EQ(choice->itemText(2), "b.example:8080");
  const auto total = panel.history().points(RateHistory::TOTAL);
  ASSERT_EQ(total.size(), 4u);
  EXPECT_DOUBLE_EQ(total.back().download, 3000.0);
  EXPECT_DOUBLE_EQ(panel.history().points("a.example:1080").back().upload, 100.0);
}

}  // namespace
}  // namespace tovix::insight
