#include <gtest/gtest.h>

#include "app/insight/connection_ledger.h"

namespace tovix::insight {
namespace {

ConnectionSample sample(int port, double started_at, std::uint64_t up = 0, std::uint64_t down = 0) {
  return {port, 42, "curl.exe", "93.184.216.34:443", "proxy.example", up, down, started_at, {}, {}};
}

class ConnectionLedgerTest : public ::testing::Test {
 protected:
  double now = 500.0;
  ConnectionLedger ledger{[this] { return now; }};
};

TEST_F(ConnectionLedgerTest, LiveRowsKeepTheirPlaceAndTakeNewCounts) {
  ledger.update({sample(1001, 490.0, 10, 20), sample(1002, 495.0)});
  now += 1.0;
  ledger.update({sample(1002, 495.0, 7, 8), sample(1003, 500.5), sample(1001, 490.0, 110, 220)});
  const auto& rows = ledger.rows();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].connection.client_port, 1001);
  EXPECT_EQ(rows[0].connection.download, 220u);
  EXPECT_EQ(rows[1].connection.upload, 7u);
  EXPECT_EQ(rows[2].connection.client_port, 1003);
  EXPECT_DOUBLE_EQ(ledger.duration(rows[0]), 11.0);
  EXPECT_DOUBLE_EQ(ledger.opacity(rows[0]), 1.0);
}

TEST_F(ConnectionLedgerTest, FinishedRowsFadeWithTheirLastCountsThenGo) {
  ledger.update({sample(1001, 490.0, 10, 20)});
  now = 502.0;
  ledger.update({});
  ASSERT_EQ(ledger.rows().size(), 1u);
  const LedgerRow& finished = ledger.rows()[0];
  EXPECT_EQ(finished.connection.download, 20u);
  now = 504.5;
  EXPECT_DOUBLE_EQ(ledger.opacity(finished), 0.5);
  EXPECT_DOUBLE_EQ(ledger.duration(finished), 12.0) << "a finished connection's duration stops";
  ledger.update({});
  EXPECT_EQ(ledger.rows().size(), 1u);
  now = 502.0 + ConnectionLedger::FADE_SECONDS;
  ledger.update({});
  EXPECT_TRUE(ledger.rows().empty());
}

TEST_F(ConnectionLedgerTest, AReusedClientPortIsANewConnection) {
  ledger.update({sample(1001, 490.0, 10, 20)});
  now += 1.0;
  ledger.update({sample(1001, 500.8)});
  const auto& rows = ledger.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_TRUE(rows[0].ended_at.has_value());
  EXPECT_FALSE(rows[1].ended_at.has_value());
  EXPECT_EQ(rows[1].connection.download, 0u);
}

TEST_F(ConnectionLedgerTest, AStartInTheFutureOrTwiceListedConnectionStaysSane) {
  ledger.update({sample(1001, 900.0), sample(1001, 900.0)});
  ASSERT_EQ(ledger.rows().size(), 1u);
  EXPECT_DOUBLE_EQ(ledger.duration(ledger.rows()[0]), 0.0);
}

}  // namespace
}  // namespace tovix::insight
