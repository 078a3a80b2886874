#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "app/insight/rate_axis.h"

namespace tovix::insight {
namespace {

struct AxisCase {
  double highest;
  double top;
  std::vector<std::string> labels;  // from the zero line up
};

class RateAxisLabels : public ::testing::TestWithParam<AxisCase> {};

TEST_P(RateAxisLabels, EveryLineIsRoundInTheUnitItShows) {
  const AxisCase& expected = GetParam();
  const RateAxis axis = rate_axis(expected.highest);
  EXPECT_DOUBLE_EQ(axis.top(), expected.top);
  EXPECT_GE(axis.top(), expected.highest);
  std::vector<std::string> labels;
  for (int line = 0; line <= RateAxis::LINES; ++line) labels.push_back(axis.label(line));
  EXPECT_EQ(labels, expected.labels);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, RateAxisLabels,
    ::testing::Values(
        // Nothing measured yet, or less than a kilobyte a second: the smallest axis.
        AxisCase{0.0, 1024.0, {"0", "0.25 KB/s", "0.5 KB/s", "0.75 KB/s", "1 KB/s"}},
        AxisCase{-5.0, 1024.0, {"0", "0.25 KB/s", "0.5 KB/s", "0.75 KB/s", "1 KB/s"}},
        AxisCase{1024.0, 1024.0, {"0", "0.25 KB/s", "0.5 KB/s", "0.75 KB/s", "1 KB/s"}},
        AxisCase{1500.0, 2048.0, {"0", "0.5 KB/s", "1 KB/s", "1.5 KB/s", "2 KB/s"}},
        AxisCase{9.0 * 1024, 10240.0, {"0", "2.5 KB/s", "5 KB/s", "7.5 KB/s", "10 KB/s"}},
        // A decimal megabyte a second is 976.6 KB/s: the axis ends at 1000 KB/s, not "976.6".
        AxisCase{1'000'000.0, 1000.0 * 1024, {"0", "250 KB/s", "500 KB/s", "750 KB/s", "1000 KB/s"}},
        // Just beyond 1000 KB/s the next unit takes over.
        AxisCase{1001.0 * 1024, 1024.0 * 1024, {"0", "0.25 MB/s", "0.5 MB/s", "0.75 MB/s", "1 MB/s"}},
        AxisCase{30.0 * 1024 * 1024, 40.0 * 1024 * 1024, {"0", "10 MB/s", "20 MB/s", "30 MB/s", "40 MB/s"}},
        AxisCase{3.5 * 1024 * 1024 * 1024, 4.0 * 1024 * 1024 * 1024, {"0", "1 GB/s", "2 GB/s", "3 GB/s", "4 GB/s"}}));

TEST(RateAxis, ARateNoAxisReachesKeepsTheLargestAxis) {
  const RateAxis nan_axis = rate_axis(std::nan(""));
  EXPECT_DOUBLE_EQ(nan_axis.top(), 1024.0);
  const RateAxis huge = rate_axis(1e30);
  EXPECT_EQ(huge.label(RateAxis::LINES), "1000 TB/s");
}

}  // namespace
}  // namespace tovix::insight
