// UDP and DNS through real proxies: dante grants UDP ASSOCIATE, microsocks refuses it, dnsmasq
// answers over TCP through microsocks.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "engine/relay/socks5_handler.h"
#include "engine/udp/dns_over_tcp.h"
#include "engine/udp/socks5_udp_forwarder.h"
#include "tests/support/udp_echo.h"
#include "tests/support/udp_fixtures.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::DANTE_EXTERNAL;
using testing::PROXY_PASSWORD;
using testing::PROXY_USER;
using Bytes = std::vector<std::uint8_t>;

class RealUdpProxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = testing::udp_components_unavailable(); !reason.empty()) GTEST_SKIP() << reason;
  }
};

IpEndpoint endpoint_of(const SocketAddress& address) {
  return {*IpAddress::parse(address.first), static_cast<std::uint16_t>(address.second)};
}

// Waits for the next answer on the association's datagram socket.
SocksUdpDatagram next_answer(Socks5UdpAssociation& association, Bytes& buffer) {
  if (!wait_readable({&association.datagrams()}, 10s)[0].readable) return {};
  return association.receive(buffer);
}

TEST_F(RealUdpProxyTest, EchoThroughDanteComesFromTheProxyAndBack) {
  for (const bool with_password : {false, true}) {
    SCOPED_TRACE(with_password ? "user and password" : "no sign-in");
    testing::DanteProxy dante(with_password);
    testing::UdpEchoServer echo;
    Socks5Server server{"127.0.0.1", dante.port(), with_password ? PROXY_USER : "",
                        with_password ? PROXY_PASSWORD : ""};
    const auto association = Socks5UdpAssociation::open(server, HandshakeTimeouts{});

    const Bytes ping{'p', 'i', 'n', 'g', 0, 0xFF};
    association->send(endpoint_of(echo.address()), ping);
    Bytes buffer;
    const SocksUdpDatagram answer = next_answer(*association, buffer);
    ASSERT_EQ(answer.status, SocksUdpStatus::ok) << dante.log();
    EXPECT_EQ(answer.source, endpoint_of(echo.address()));
    EXPECT_EQ(Bytes(answer.payload.begin(), answer.payload.end()), ping);
    ASSERT_EQ(echo.senders().size(), 1u);
    EXPECT_EQ(echo.senders()[0].first, DANTE_EXTERNAL) << "the datagram went out from the proxy";
  }
}

TEST_F(RealUdpProxyTest, ForwarderCarriesAProgramSocketsDatagramsThroughDante) {
  testing::DanteProxy dante;
  testing::UdpEchoServer echo;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<IpEndpoint, Bytes>> delivered;
  Socks5UdpForwarder::Callbacks callbacks;
  callbacks.deliver = [&](const IpEndpoint& program, const IpEndpoint& remote, std::span<const std::uint8_t> payload) {
    std::lock_guard guard(lock);
    EXPECT_EQ(remote, endpoint_of(echo.address()));
    delivered.emplace_back(program, Bytes(payload.begin(), payload.end()));
    changed.notify_all();
  };
  Socks5UdpForwarder forwarder({"127.0.0.1", dante.port(), "", ""}, callbacks);
  const IpEndpoint program{*IpAddress::parse("10.0.0.5"), 40000};
  for (std::uint8_t i = 0; i < 20; ++i) {
    const auto result = forwarder.send(program, endpoint_of(echo.address()), Bytes(1200, i));
    EXPECT_TRUE(result == UdpSendResult::sent || result == UdpSendResult::held);
  }
  std::unique_lock guard(lock);
  ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return delivered.size() == 20; })) << delivered.size();
  for (std::uint8_t i = 0; i < 20; ++i) {
    EXPECT_EQ(delivered[i].first, program);
    EXPECT_EQ(delivered[i].second, Bytes(1200, i)) << "in order, whole";
  }
  EXPECT_EQ(forwarder.association_count(), 1u);
  const auto flows = forwarder.flow_traffic();
  ASSERT_EQ(flows.size(), 1u);
  EXPECT_EQ(flows[0].program, program);
  EXPECT_EQ(flows[0].destination, endpoint_of(echo.address()));
  EXPECT_EQ(flows[0].bytes_up, 20u * 1200u);
  EXPECT_EQ(flows[0].bytes_down, 20u * 1200u);
  EXPECT_GT(flows[0].started_at, 0.0);
}

TEST_F(RealUdpProxyTest, TheUdpCheckTellsAProxyThatGrantsUdpFromOneThatRefusesAndFromNone) {
  testing::DanteProxy dante;
  testing::MicrosocksProxy microsocks;
  const struct {
    const char* name;
    Socks5Server server;
    std::optional<bool> grants;
  } cases[] = {
      {"dante", {"127.0.0.1", dante.port(), "", ""}, true},
      {"microsocks", {"127.0.0.1", microsocks.port(), PROXY_USER, PROXY_PASSWORD}, false},
      {"wrong password", {"127.0.0.1", microsocks.port(), PROXY_USER, "wrong"}, std::nullopt},
      {"nothing listening", {"127.0.0.1", testing::free_loopback_port(), "", ""}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(grants_udp_associate(c.server, HandshakeTimeouts{}), c.grants) << c.name;
}

TEST_F(RealUdpProxyTest, MicrosocksRefusesUdpAndTheForwarderRemembersIt) {
  testing::MicrosocksProxy microsocks;
  Socks5Server server{"127.0.0.1", microsocks.port(), PROXY_USER, PROXY_PASSWORD};
  try {
    Socks5UdpAssociation::open(server, HandshakeTimeouts{});
    FAIL() << "microsocks has no UDP";
  } catch (const UdpAssociateRefused& refused) {
    EXPECT_EQ(refused.code(), 7) << refused.what();
  }

  std::mutex lock;
  std::condition_variable changed;
  int refused_count = 0;
  Socks5UdpForwarder::Callbacks callbacks;
  callbacks.undeliverable = [&](const IpEndpoint&, const IpEndpoint&, std::span<const std::uint8_t>, bool refused) {
    std::lock_guard guard(lock);
    refused_count += refused ? 1 : 0;
    changed.notify_all();
  };
  Socks5UdpForwarder forwarder(server, callbacks);
  const IpEndpoint destination{*IpAddress::parse("192.0.2.1"), 443};
  EXPECT_EQ(forwarder.send({*IpAddress::parse("10.0.0.5"), 40000}, destination, Bytes{1}), UdpSendResult::held);
  std::unique_lock guard(lock);
  ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return refused_count == 1; }));
  guard.unlock();
  EXPECT_TRUE(forwarder.refuses_udp());
  EXPECT_EQ(forwarder.send({*IpAddress::parse("10.0.0.5"), 40001}, destination, Bytes{2}), UdpSendResult::refused);
  EXPECT_EQ(forwarder.association_count(), 0u);
}

TEST_F(RealUdpProxyTest, DnsQueriesReachDnsmasqOverTcpThroughMicrosocks) {
  testing::DnsmasqResolver dnsmasq(std::map<std::string, std::string>{{"quic.example.test", "198.51.100.20"}});
  testing::MicrosocksProxy microsocks;
  const DnsTunnelOpener through_microsocks = [&](const IpEndpoint& resolver) {
    return Socks5Handler().handle_connection(resolver.address.text(), resolver.port, "127.0.0.1", microsocks.port(),
                                             PROXY_USER, PROXY_PASSWORD);
  };
  std::mutex lock;
  std::condition_variable changed;
  std::vector<DnsAnswer> answers;
  DnsOverTcp dns(through_microsocks, [&](DnsAnswer answer) {
    std::lock_guard guard(lock);
    answers.push_back(std::move(answer));
    changed.notify_all();
  });
  // An A query for quic.example.test, ID 0x4242, recursion desired.
  Bytes query{0x42, 0x42, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
  for (const std::string label : {"quic", "example", "test"}) {
    query.push_back(static_cast<std::uint8_t>(label.size()));
    query.insert(query.end(), label.begin(), label.end());
  }
  query.insert(query.end(), {0, 0, 1, 0, 1});
  const IpEndpoint resolver{*IpAddress::parse("127.0.0.1"), static_cast<std::uint16_t>(dnsmasq.port())};
  const IpEndpoint program{*IpAddress::parse("127.0.0.1"), 53000};
  ASSERT_TRUE(dns.submit({program, resolver, query}));

  std::unique_lock guard(lock);
  ASSERT_TRUE(changed.wait_for(guard, 10s, [&] { return !answers.empty(); }));
  const DnsAnswer& answer = answers.front();
  EXPECT_TRUE(answer.from_resolver);
  ASSERT_GE(answer.message.size(), 16u);
  EXPECT_EQ(answer.message[0], 0x42);
  EXPECT_EQ(answer.message[1], 0x42);
  EXPECT_EQ(answer.message[3] & 0x0F, 0) << "no error";
  const Bytes address{198, 51, 100, 20};
  EXPECT_TRUE(std::search(answer.message.begin(), answer.message.end(), address.begin(), address.end()) !=
              answer.message.end());
  EXPECT_TRUE(dnsmasq.wait_for_log("query[A] quic.example.test from 127.0.0.1", 10s)) << dnsmasq.log();
}

TEST_F(RealUdpProxyTest, TheQuicPairOfTheEndToEndTestsCompletesARequest) {
  testing::QuicServer server;
  EXPECT_EQ(testing::fetch_quic_page(server.address(), server.port(), 10s),
            std::string(testing::QUIC_INDEX_TEXT) + "\n");
}

}  // namespace
}  // namespace tovix
