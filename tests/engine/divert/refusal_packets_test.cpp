// UDP datagrams read and built, and the answers that refuse a packet: their addresses, what
// they quote, and checksums checked with an independent implementation.
#include <gtest/gtest.h>

#include "engine/divert/ip_layout.h"
#include "engine/divert/refusal_packets.h"
#include "engine/divert/udp_datagram.h"
#include "tests/engine/divert/packet_builder.h"

namespace tovix {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::read16;
using testing::reference_checksum;

IpEndpoint endpoint(const char* address, std::uint16_t port) { return {*IpAddress::parse(address), port}; }

Bytes payload_of(std::size_t size) {
  Bytes payload(size);
  for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return payload;
}

// True when the transport message after the IP header sums to zero with its pseudo-header (none
// for ICMP): its checksum is right.
bool transport_checksum_holds(const Bytes& datagram) {
  const auto layout = read_ip_layout(datagram);
  if (!layout) return false;
  Bytes summed;
  if (layout->protocol != IP_PROTOCOL_ICMP) {
    for (const auto& address : {layout->source, layout->destination}) {
      summed.insert(summed.end(), address.bytes().begin(), address.bytes().end());
    }
    const std::size_t length = layout->datagram_end - layout->transport_at;
    summed.insert(summed.end(), {0, 0, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0,
                                 layout->protocol});
  }
  summed.insert(summed.end(), datagram.begin() + static_cast<std::ptrdiff_t>(layout->transport_at),
                datagram.begin() + static_cast<std::ptrdiff_t>(layout->datagram_end));
  return reference_checksum(summed) == 0;
}

bool ipv4_header_checksum_holds(const Bytes& datagram) {
  return reference_checksum(Bytes(datagram.begin(), datagram.begin() + (datagram[0] & 0x0F) * 4)) == 0;
}

TEST(UdpDatagramTest, BuiltDatagramsReadBackWithValidChecksums) {
  struct Case {
    const char* from;
    const char* to;
    std::size_t payload;
  };
  const Case cases[] = {{"203.0.113.9", "10.0.0.5", 0},
                        {"203.0.113.9", "10.0.0.5", 1201},
                        {"2001:db8::53", "fd00::5", 33},
                        {"2001:db8::53", "fd00::5", 65527}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " " + std::to_string(c.payload));
    const Bytes payload = payload_of(c.payload);
    const Bytes datagram = build_udp_datagram(endpoint(c.from, 53), endpoint(c.to, 40000), payload);
    EXPECT_TRUE(transport_checksum_holds(datagram));
    if (datagram[0] >> 4 == 4) {
      EXPECT_TRUE(ipv4_header_checksum_holds(datagram));
    }
    const auto view = read_udp_datagram(datagram);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(view->source, endpoint(c.from, 53));
    EXPECT_EQ(view->destination, endpoint(c.to, 40000));
    EXPECT_EQ(Bytes(view->payload.begin(), view->payload.end()), payload);
  }
  EXPECT_THROW(build_udp_datagram(endpoint("10.0.0.1", 1), endpoint("::1", 2), {}), std::invalid_argument);
  EXPECT_THROW(build_udp_datagram(endpoint("10.0.0.1", 1), endpoint("10.0.0.2", 2), payload_of(65508)),
               std::invalid_argument);
}

TEST(UdpDatagramTest, OnlyWholeConsistentUdpDatagramsAreRead) {
  const Bytes good = build_udp_datagram(endpoint("10.0.0.1", 1000), endpoint("10.0.0.2", 53), payload_of(20));
  const auto changed = [&](std::size_t at, std::uint8_t value) {
    Bytes copy = good;
    copy[at] = value;
    return copy;
  };
  EXPECT_FALSE(read_udp_datagram(testing::build_ipv4_tcp({})));
  EXPECT_FALSE(read_udp_datagram(Bytes(good.begin(), good.end() - 1))) << "cut short";
  EXPECT_FALSE(read_udp_datagram(changed(6, 0x20))) << "more fragments follow";
  EXPECT_FALSE(read_udp_datagram(changed(25, 50))) << "UDP length beyond the datagram";
  EXPECT_FALSE(read_udp_datagram(changed(25, 7))) << "UDP length below its header";
  EXPECT_FALSE(read_udp_datagram({}));

  // An IPv6 datagram behind a hop-by-hop header, and one that is a fragment.
  Bytes v6 = build_udp_datagram(endpoint("fd00::1", 1000), endpoint("fd00::2", 53), payload_of(4));
  Bytes with_option(v6.begin(), v6.begin() + 40);
  with_option[6] = 0;  // hop-by-hop options follow
  with_option[5] = static_cast<std::uint8_t>(with_option[5] + 8);
  with_option.insert(with_option.end(), {17, 0, 1, 4, 0, 0, 0, 0});  // next: UDP; PadN
  with_option.insert(with_option.end(), v6.begin() + 40, v6.end());
  const auto view = read_udp_datagram(with_option);
  ASSERT_TRUE(view.has_value());
  EXPECT_EQ(view->destination, endpoint("fd00::2", 53));
  with_option[40] = 44;
  with_option[6] = 44;  // a fragment header instead
  EXPECT_FALSE(read_udp_datagram(with_option));
}

TEST(PortUnreachableTest, AnswersComeFromTheDestinationAndQuoteTheDatagram) {
  struct Case {
    const char* program;
    const char* destination;
    std::size_t payload;
    std::size_t quoted;  // bytes of the offending datagram in the answer
  };
  const Case cases[] = {
      {"10.0.0.5", "203.0.113.9", 1200, 20 + 8},
      {"10.0.0.5", "203.0.113.9", 0, 20 + 8},
      {"fd00::5", "2001:db8::9", 100, 40 + 8 + 100},
      {"fd00::5", "2001:db8::9", 1400, 1280 - 40 - 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.destination) + " " + std::to_string(c.payload));
    const Bytes offending =
        build_udp_datagram(endpoint(c.program, 40000), endpoint(c.destination, 443), payload_of(c.payload));
    const auto answer = build_port_unreachable(offending);
    ASSERT_TRUE(answer.has_value());
    const auto layout = read_ip_layout(*answer);
    ASSERT_TRUE(layout.has_value());
    const bool v4 = layout->source.is_v4();
    EXPECT_EQ(layout->source, *IpAddress::parse(c.destination));
    EXPECT_EQ(layout->destination, *IpAddress::parse(c.program));
    EXPECT_EQ(layout->protocol, v4 ? IP_PROTOCOL_ICMP : IP_PROTOCOL_ICMPV6);
    const std::size_t icmp = layout->transport_at;
    EXPECT_EQ((*answer)[icmp], v4 ? 3 : 1);
    EXPECT_EQ((*answer)[icmp + 1], v4 ? 3 : 4);
    ASSERT_EQ(answer->size(), icmp + 8 + c.quoted);
    EXPECT_TRUE(std::equal(offending.begin(), offending.begin() + static_cast<std::ptrdiff_t>(c.quoted),
                           answer->begin() + static_cast<std::ptrdiff_t>(icmp + 8)));
    EXPECT_TRUE(transport_checksum_holds(*answer));
    if (v4) {
      EXPECT_TRUE(ipv4_header_checksum_holds(*answer));
    }
  }
}

TEST(PortUnreachableTest, NoAnswerWhereNoHostWouldGiveOne) {
  const auto udp_to = [](const char* from, const char* to) {
    return build_udp_datagram(endpoint(from, 5353), endpoint(to, 5353), payload_of(8));
  };
  EXPECT_FALSE(build_port_unreachable(udp_to("10.0.0.5", "224.0.0.251"))) << "multicast";
  EXPECT_FALSE(build_port_unreachable(udp_to("10.0.0.5", "255.255.255.255"))) << "broadcast";
  EXPECT_FALSE(build_port_unreachable(udp_to("0.0.0.0", "10.0.0.1"))) << "no source yet (DHCP)";
  EXPECT_FALSE(build_port_unreachable(udp_to("fd00::5", "ff02::fb"))) << "IPv6 multicast";
  EXPECT_FALSE(build_port_unreachable(testing::build_ipv4_tcp({}))) << "not UDP";
  Bytes later_fragment = udp_to("10.0.0.5", "10.0.0.1");
  later_fragment[7] = 0x10;
  EXPECT_FALSE(build_port_unreachable(later_fragment));
}

TEST(TcpResetTest, ResetsAreAddressedBackWithTheSequenceTheSenderAccepts) {
  struct Case {
    const char* what;
    std::uint8_t flags;
    std::size_t payload;
    std::uint8_t reset_flags;
    std::uint32_t seq;  // of the reset
    std::uint32_t ack;
  };
  constexpr std::uint32_t kSeq = 0xFFFFFFF0, kAck = 0x01020304;
  const Case cases[] = {
      {"SYN", 0x02, 0, 0x14, 0, kSeq + 1},
      {"data with ACK", 0x18, 100, 0x04, kAck, 0},
      {"FIN without ACK", 0x01, 10, 0x14, 0, kSeq + 11},
  };
  for (const bool v6 : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (v6 ? " IPv6" : " IPv4"));
      // The segment is built as a UDP datagram of the same size and then turned into TCP.
      const char* program = v6 ? "fd00::5" : "10.0.0.5";
      const char* destination = v6 ? "2001:db8::9" : "203.0.113.9";
      Bytes segment =
          build_udp_datagram(endpoint(program, 40000), endpoint(destination, 443), payload_of(12 + c.payload));
      const std::size_t tcp = v6 ? 40 : 20;
      segment[v6 ? 6 : 9] = IP_PROTOCOL_TCP;
      for (int i = 0; i < 4; ++i) segment[tcp + 4 + i] = static_cast<std::uint8_t>(kSeq >> (24 - 8 * i));
      for (int i = 0; i < 4; ++i) segment[tcp + 8 + i] = static_cast<std::uint8_t>(kAck >> (24 - 8 * i));
      segment[tcp + 12] = 0x50;
      segment[tcp + 13] = c.flags;

      const auto reset = build_tcp_reset(segment);
      ASSERT_TRUE(reset.has_value());
      const auto layout = read_ip_layout(*reset);
      ASSERT_TRUE(layout.has_value());
      EXPECT_EQ(layout->source, *IpAddress::parse(destination));
      EXPECT_EQ(layout->destination, *IpAddress::parse(program));
      const std::size_t at = layout->transport_at;
      EXPECT_EQ(read16(*reset, at), 443);
      EXPECT_EQ(read16(*reset, at + 2), 40000);
      EXPECT_EQ(std::uint32_t{read16(*reset, at + 4)} << 16 | read16(*reset, at + 6), c.seq);
      EXPECT_EQ(std::uint32_t{read16(*reset, at + 8)} << 16 | read16(*reset, at + 10), c.ack);
      EXPECT_EQ((*reset)[at + 13], c.reset_flags);
      EXPECT_EQ(reset->size(), at + 20);
      EXPECT_TRUE(transport_checksum_holds(*reset));

      segment[tcp + 13] = 0x14;
      EXPECT_FALSE(build_tcp_reset(segment)) << "a reset is never answered";
    }
  }
}

TEST(TcpResetTest, AnswersAsPacketsGoTheOtherWayOnTheSameInterface) {
  CaptureInfo info;
  info.outbound = true;
  info.interface_index = 7;
  info.process_id = 1234;
  const Packet syn(testing::build_ipv4_tcp({}), info);
  const auto reset = tcp_reset_for(syn);
  ASSERT_TRUE(reset.has_value());
  EXPECT_FALSE(reset->info().outbound);
  EXPECT_EQ(reset->info().interface_index, 7u);
  EXPECT_TRUE(reset->info().ip_checksum_valid && reset->info().tcp_checksum_valid);
  EXPECT_EQ(reset->process_id(), 0u);
  ASSERT_TRUE(reset->tcp().has_value());
  EXPECT_TRUE(reset->tcp()->rst());

  const Packet datagram(build_udp_datagram(endpoint("10.0.0.5", 4000), endpoint("10.0.0.9", 443), payload_of(9)), info);
  const auto unreachable = port_unreachable_for(datagram);
  ASSERT_TRUE(unreachable.has_value());
  EXPECT_FALSE(unreachable->info().outbound);
  EXPECT_FALSE(tcp_reset_for(datagram));
  EXPECT_FALSE(port_unreachable_for(syn));
}

}  // namespace
}  // namespace tovix
