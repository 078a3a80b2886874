// Idle limits of the association table on a clock the test moves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/udp/udp_association_table.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;

class UdpAssociationTableTest : public ::testing::Test {
 protected:
  IpEndpoint program(std::uint16_t port) { return {*IpAddress::parse("10.0.0.5"), port}; }
  std::vector<std::uint16_t> idle_ports() {
    std::vector<std::uint16_t> ports;
    for (const auto& [endpoint, value] : table.take_idle()) ports.push_back(endpoint.port);
    return ports;
  }

  std::chrono::steady_clock::time_point now{};
  UdpAssociationTable<int> table{[this] { return now; }};
};

TEST_F(UdpAssociationTableTest, DnsSocketsGoAfterTenQuietSecondsOthersAfterSixty) {
  table.insert(program(1), 53, 1);   // a resolver's socket
  table.insert(program(2), 443, 2);  // QUIC
  table.insert(program(3), 53, 3);
  table.touch(program(3), 3478);  // asked a resolver, then talked STUN: no longer DNS only
  now += 9s;
  EXPECT_THAT(idle_ports(), ::testing::IsEmpty());
  EXPECT_EQ(table.next_expiry(), std::chrono::steady_clock::time_point{} + 10s);
  now += 1s;
  EXPECT_THAT(idle_ports(), ::testing::ElementsAre(1));
  now += 49s;
  EXPECT_THAT(idle_ports(), ::testing::IsEmpty());
  now += 1s;
  EXPECT_THAT(idle_ports(), ::testing::UnorderedElementsAre(2, 3));
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.next_expiry(), std::nullopt);
}

TEST_F(UdpAssociationTableTest, TrafficEitherWayKeepsASocketAndTheQuietestIsFound) {
  table.insert(program(1), 443, 1);
  table.insert(program(2), 443, 2);
  now += 50s;
  table.touch(program(1));  // an answer came
  EXPECT_EQ(table.least_recently_active(), program(2));
  now += 20s;
  EXPECT_THAT(idle_ports(), ::testing::ElementsAre(2));
  ASSERT_NE(table.find(program(1)), nullptr);
  EXPECT_EQ(*table.find(program(1)), 1);
  EXPECT_EQ(table.remove(program(1)), 1);
  EXPECT_EQ(table.remove(program(1)), std::nullopt);
  EXPECT_EQ(table.least_recently_active(), std::nullopt);
}

}  // namespace
}  // namespace tovix
