// The SOCKS5 UDP header both ways.
#include <gtest/gtest.h>

#include "engine/udp/socks5_udp_framing.h"

namespace tovix {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Socks5UdpFramingTest, FramedDatagramsUnframeToTheirEndpointAndData) {
  for (const char* address : {"192.0.2.7", "2001:db8::7"}) {
    const IpEndpoint destination{*IpAddress::parse(address), 3478};
    const Bytes data{1, 2, 3};
    const Bytes framed = frame_socks_udp(destination, data);
    const bool v4 = destination.address.is_v4();
    EXPECT_EQ(framed.size(), 4u + (v4 ? 4 : 16) + 2 + 3);
    EXPECT_EQ(framed[3], v4 ? 1 : 4);
    const auto unframed = unframe_socks_udp(framed);
    ASSERT_EQ(unframed.status, SocksUdpStatus::ok);
    EXPECT_EQ(unframed.source, destination);
    EXPECT_EQ(Bytes(unframed.payload.begin(), unframed.payload.end()), data);
  }
}

TEST(Socks5UdpFramingTest, AnswersThatCannotBeHandedOnAreToldApart) {
  struct Case {
    const char* what;
    Bytes framed;
    SocksUdpStatus expected;
  };
  const Case cases[] = {
      {"empty data is still a datagram", {0, 0, 0, 1, 10, 0, 0, 1, 0, 53}, SocksUdpStatus::ok},
      {"a fragment", {0, 0, 1, 1, 10, 0, 0, 1, 0, 53, 'x'}, SocksUdpStatus::fragment},
      {"the last fragment", {0, 0, 0x81, 1, 10, 0, 0, 1, 0, 53, 'x'}, SocksUdpStatus::fragment},
      {"a host name as source", {0, 0, 0, 3, 1, 'a', 0, 53, 'x'}, SocksUdpStatus::named_source},
      {"cut inside the address", {0, 0, 0, 1, 10, 0, 0}, SocksUdpStatus::malformed},
      {"cut inside a host name", {0, 0, 0, 3, 9, 'a', 'b'}, SocksUdpStatus::malformed},
      {"IPv6 cut short", {0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0}, SocksUdpStatus::malformed},
      {"unknown address type", {0, 0, 0, 2, 10, 0, 0, 1, 0, 53}, SocksUdpStatus::malformed},
      {"header only", {0, 0, 0}, SocksUdpStatus::malformed},
  };
  for (const Case& c : cases) EXPECT_EQ(unframe_socks_udp(c.framed).status, c.expected) << c.what;
}

}  // namespace
}  // namespace tovix
