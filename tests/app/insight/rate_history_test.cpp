#include <gtest/gtest.h>

#include "app/insight/rate_history.h"

namespace tovix::insight {
namespace {

class RateHistoryTest : public ::testing::Test {
 protected:
  double now = 1000.0;
  // Plain per-reading rates; the averaging has its own case.
  RateHistory history{[this] { return now; }, 0.0};
};

TEST_F(RateHistoryTest, PointsAverageOverTheSmoothingIntervalSoBurstsDoNotReadAsSilence) {
  RateHistory smoothed{[this] { return now; }};
  smoothed.record(RateHistory::TOTAL, {0, 0});
  // 8 MB handed over in one second, then four seconds of the application draining its buffer.
  const std::uint64_t downloads[] = {8'000'000, 8'000'000, 8'000'000, 8'000'000, 8'000'000, 8'000'000};
  for (std::uint64_t download : downloads) {
    now += 1.0;
    smoothed.record(RateHistory::TOTAL, {0, download});
  }
  const auto points = smoothed.points(RateHistory::TOTAL);
  ASSERT_EQ(points.size(), 6u);
  EXPECT_DOUBLE_EQ(points[0].download, 8'000'000.0) << "nothing older to average with yet";
  EXPECT_DOUBLE_EQ(points[3].download, 2'000'000.0);
  EXPECT_DOUBLE_EQ(points[4].download, 1'600'000.0) << "five seconds behind the point";
  EXPECT_DOUBLE_EQ(points[5].download, 0.0) << "the burst has left the interval";
}

TEST_F(RateHistoryTest, RatesAreTheGrowthOfTheTotalsOverTheElapsedTime) {
  history.record(RateHistory::TOTAL, {100, 1000});
  EXPECT_TRUE(history.points(RateHistory::TOTAL).empty()) << "one reading is no rate yet";
  now += 1.0;
  history.record(RateHistory::TOTAL, {300, 5000});
  now += 2.0;
  history.record(RateHistory::TOTAL, {300, 9000});
  const auto points = history.points(RateHistory::TOTAL);
  ASSERT_EQ(points.size(), 2u);
  EXPECT_DOUBLE_EQ(points[0].at, 1001.0);
  EXPECT_DOUBLE_EQ(points[0].upload, 200.0);
  EXPECT_DOUBLE_EQ(points[0].download, 4000.0);
  EXPECT_DOUBLE_EQ(points[1].upload, 0.0);
  EXPECT_DOUBLE_EQ(points[1].download, 2000.0) << "a late tick divides by the real interval";
}

TEST_F(RateHistoryTest, FallingTotalsOrAStoppedClockNeverGiveANegativeOrInfiniteRate) {
  history.record("p", {5000, 5000});
  history.record("p", {6000, 6000});  // same instant
  now += 1.0;
  history.record("p", {10, 20});  // the engine restarted
  now += 1.0;
  history.record("p", {110, 220});
  const auto points = history.points("p");
  ASSERT_EQ(points.size(), 1u);
  EXPECT_DOUBLE_EQ(points[0].upload, 100.0);
  EXPECT_DOUBLE_EQ(points[0].download, 200.0);
}

TEST_F(RateHistoryTest, KeepsTenMinutesAndForgetsSeriesNotReadSince) {
  history.record(RateHistory::TOTAL, {0, 0});
  history.record("old-proxy", {0, 0});
  for (int second = 1; second <= 700; ++second) {
    now += 1.0;
    history.record(RateHistory::TOTAL, {std::uint64_t(second) * 10, 0});
    if (second == 1) history.record("old-proxy", {5, 5});
  }
  const auto points = history.points(RateHistory::TOTAL);
  ASSERT_FALSE(points.empty());
  EXPECT_GE(points.front().at, now - RateHistory::WINDOW_SECONDS);
  EXPECT_EQ(points.size(), 601u);
  EXPECT_EQ(history.series(), std::vector<std::string>{RateHistory::TOTAL});
  EXPECT_TRUE(history.points("old-proxy").empty());
}

TEST_F(RateHistoryTest, SeriesListTheTotalFirstThenEachProxy) {
  history.record("b.example:1080", {0, 0});
  history.record(RateHistory::TOTAL, {0, 0});
  history.record("a.example:1080", {0, 0});
  EXPECT_EQ(history.series(), (std::vector<std::string>{RateHistory::TOTAL, "a.example:1080", "b.example:1080"}));
}

}  // namespace
}  // namespace tovix::insight
