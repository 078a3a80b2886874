#include <gtest/gtest.h>

#include "engine/divert/packet_diverter.h"
#include "tests/engine/divert/packet_builder.h"

namespace tovix {
namespace {

TEST(SystemDiverterTest, ChecksumsWorkWithoutADriver) {
  const std::unique_ptr<PacketDiverter> diverter = make_system_diverter();
  Packet packet(testing::build_ipv4_tcp({}));
  diverter->recalculate_checksums(packet);
  const std::vector<std::uint8_t> bytes(packet.bytes().begin(), packet.bytes().end());
  EXPECT_EQ(packet.tcp()->checksum(), testing::expected_tcp_checksum(bytes));
  EXPECT_TRUE(packet.info().tcp_checksum_valid);
}

}  // namespace
}  // namespace tovix
