#include <gtest/gtest.h>

#include "engine/divert/checksum.h"
#include "engine/divert/diverted_ports.h"
#include "tests/engine/divert/packet_builder.h"

namespace tovix {
namespace {

using testing::TcpFields;
using Change = DivertedPorts::Change;

constexpr std::uint8_t FIN = 0x01, SYN = 0x02, RST = 0x04, ACK = 0x10;
constexpr std::uint16_t CLIENT_PORT = 50123;
constexpr std::uint16_t RELAY_PORT = 40000;

// A client segment A:p → D:q as captured.
Packet client(std::uint8_t flags, std::uint16_t dst_port = 443) {
  TcpFields fields;
  fields.src_port = CLIENT_PORT;
  fields.dst_port = dst_port;
  fields.flags = flags;
  Packet packet(testing::build_ipv4_tcp(fields));
  compute_checksums(packet);
  return packet;
}

// The same segment as the engine sends it to the relay: 127.0.0.2:p → 127.0.0.1:r.
Packet to_relay(const Packet& captured) {
  Packet sent = captured;
  sent.ipv4()->set_src_addr("127.0.0.2");
  sent.ipv4()->set_dst_addr("127.0.0.1");
  sent.tcp()->set_dst_port(RELAY_PORT);
  compute_checksums(sent);
  return sent;
}

// A relay reply 127.0.0.1:r → 127.0.0.2:p as captured.
Packet relay_reply(std::uint8_t flags) {
  TcpFields fields;
  fields.src[0] = 127, fields.src[1] = 0, fields.src[2] = 0, fields.src[3] = 1;
  fields.dst[0] = 127, fields.dst[1] = 0, fields.dst[2] = 0, fields.dst[3] = 2;
  fields.src_port = RELAY_PORT;
  fields.dst_port = CLIENT_PORT;
  fields.flags = flags;
  Packet packet(testing::build_ipv4_tcp(fields));
  compute_checksums(packet);
  return packet;
}

Packet to_client(const Packet& captured) {
  Packet sent = captured;
  sent.ipv4()->set_src_addr("93.184.216.34");
  sent.ipv4()->set_dst_addr("10.0.0.5");
  sent.tcp()->set_src_port(443);
  compute_checksums(sent);
  return sent;
}

TEST(RewrittenTest, OnlyChangesOutsideTheChecksumFieldsCount) {
  const Packet captured = client(ACK);
  Packet recomputed = captured;
  recomputed.mutable_bytes()[testing::IP_CHECKSUM] ^= 0xFF;
  recomputed.mutable_bytes()[20 + 16] ^= 0xFF;  // the TCP checksum
  EXPECT_FALSE(rewritten(captured, captured));
  EXPECT_FALSE(rewritten(captured, recomputed));
  EXPECT_TRUE(rewritten(captured, to_relay(captured)));
  Packet identification_changed = captured;
  identification_changed.mutable_bytes()[4] ^= 0x01;
  EXPECT_TRUE(rewritten(captured, identification_changed));
}

TEST(DivertedPortsTest, ARewrittenSynAddsItsPortOnce) {
  DivertedPorts ports;
  const Packet syn = client(SYN);
  auto change = ports.on_send(syn, to_relay(syn));
  ASSERT_TRUE(change);
  EXPECT_EQ(change->change, Change::add);
  EXPECT_EQ(change->port, CLIENT_PORT);
  EXPECT_FALSE(ports.on_send(syn, to_relay(syn))) << "a retransmitted SYN finds the port in the set";
  EXPECT_TRUE(ports.contains(CLIENT_PORT));
}

TEST(DivertedPortsTest, APassedSynLeavesOtherPortsAlone) {
  DivertedPorts ports;
  const Packet syn = client(SYN);
  EXPECT_FALSE(ports.on_send(syn, syn));
  EXPECT_FALSE(ports.contains(CLIENT_PORT));
}

// How the diverted connection on the port ended before a new, passed connection reuses it.
struct EndCase {
  const char* name;
  std::vector<std::pair<bool, std::uint8_t>> segments;  // (from the client?, flags), all rewritten
  bool released;
};

class DivertedPortsEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(DivertedPortsEndTest, APortIsReleasedOnlyAfterItsConnectionEnded) {
  DivertedPorts ports;
  const Packet syn = client(SYN);
  ASSERT_TRUE(ports.on_send(syn, to_relay(syn)));
  for (const auto& [from_client, flags] : GetParam().segments) {
    const Packet captured = from_client ? client(flags) : relay_reply(flags);
    EXPECT_FALSE(ports.on_send(captured, from_client ? to_relay(captured) : to_client(captured)));
  }
  const auto change = ports.on_send(syn, syn);  // the next connection on the port is passed
  if (GetParam().released) {
    ASSERT_TRUE(change);
    EXPECT_EQ(change->change, Change::remove);
    EXPECT_FALSE(ports.contains(CLIENT_PORT));
  } else {
    EXPECT_FALSE(change);
    EXPECT_TRUE(ports.contains(CLIENT_PORT));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, DivertedPortsEndTest,
    ::testing::Values(EndCase{"still_open", {{true, ACK}, {false, ACK}}, false},
                      EndCase{"client_half_closed", {{true, FIN | ACK}}, false},
                      EndCase{"relay_half_closed", {{false, FIN | ACK}}, false},
                      EndCase{"both_finished", {{true, FIN | ACK}, {false, FIN | ACK}, {true, ACK}}, true},
                      EndCase{"client_reset", {{true, RST}}, true}, EndCase{"relay_reset", {{false, RST | ACK}}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// One local port, two destinations: the port stays in the set while either connection may
// still send, and the relay's replies to the second one arrive under its own NAT key.
TEST(DivertedPortsTest, APortSharedByTwoConnectionsStaysUntilBothEnded) {
  DivertedPorts ports;
  const auto segment = [](std::uint8_t flags, std::uint16_t dst_port) { return client(flags, dst_port); };
  constexpr std::uint16_t STAND_IN = 1024;
  const Packet first = segment(SYN, 443), second = segment(SYN, 80);
  ASSERT_TRUE(ports.on_send(first, to_relay(first)));
  EXPECT_FALSE(ports.on_send(second, to_relay(second)));
  const Packet first_reset = segment(RST, 443);
  EXPECT_FALSE(ports.on_send(first_reset, to_relay(first_reset)));
  const Packet passed = segment(SYN, 8080);
  EXPECT_FALSE(ports.on_send(passed, passed)) << "the second connection may still send";

  const Packet second_fin = segment(FIN | ACK, 80);
  EXPECT_FALSE(ports.on_send(second_fin, to_relay(second_fin)));
  Packet relay_fin = relay_reply(FIN | ACK);
  relay_fin.tcp()->set_dst_port(STAND_IN);
  Packet back = relay_fin;
  back.ipv4()->set_src_addr("93.184.216.34");
  back.ipv4()->set_dst_addr("10.0.0.5");
  back.tcp()->set_src_port(80);
  back.tcp()->set_dst_port(CLIENT_PORT);
  compute_checksums(back);
  EXPECT_FALSE(ports.on_send(relay_fin, back));
  const auto change = ports.on_send(passed, passed);
  ASSERT_TRUE(change);
  EXPECT_EQ(change->change, Change::remove);
}

TEST(DivertedPortsTest, RelayRepliesPassedUnchangedDoNotEndTheConnection) {
  DivertedPorts ports;
  const Packet syn = client(SYN);
  ASSERT_TRUE(ports.on_send(syn, to_relay(syn)));
  const Packet fin = relay_reply(FIN | ACK);
  EXPECT_FALSE(ports.on_send(fin, fin));
  const Packet client_fin = client(FIN | ACK);
  EXPECT_FALSE(ports.on_send(client_fin, to_relay(client_fin)));
  EXPECT_FALSE(ports.on_send(syn, syn)) << "the relay's FIN never reached the client";
}

}  // namespace
}  // namespace tovix
