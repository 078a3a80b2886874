// The forwarder against a scripted proxy: where datagrams go, what comes back, and when an
// association ends.
#include <gtest/gtest.h>

#include <condition_variable>

#include "engine/udp/socks5_udp_forwarder.h"
#include "tests/engine/udp/fake_socks5_udp_server.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using testing::FakeSocks5UdpServer;

const IpEndpoint kProgram{*IpAddress::parse("10.0.0.5"), 40000};
const IpEndpoint kRemote{*IpAddress::parse("203.0.113.9"), 443};

// What the callbacks saw.
struct Seen {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::pair<IpEndpoint, Bytes>> delivered;  // (remote, payload)
  std::vector<bool> undeliverable;                      // proxy_refused of each

  template <typename Predicate>
  bool wait(Predicate done) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, 10s, [&] { return done(*this); });
  }
};

class Socks5UdpForwarderTest : public ::testing::Test {
 protected:
  std::unique_ptr<Socks5UdpForwarder> forwarder_for(FakeSocks5UdpServer& server, std::size_t max_associations = 256) {
    Socks5UdpForwarder::Callbacks callbacks;
    callbacks.deliver = [this](const IpEndpoint&, const IpEndpoint& remote, std::span<const std::uint8_t> payload) {
      std::lock_guard guard(seen.lock);
      seen.delivered.emplace_back(remote, Bytes(payload.begin(), payload.end()));
      seen.changed.notify_all();
    };
    callbacks.undeliverable = [this](const IpEndpoint&, const IpEndpoint&, std::span<const std::uint8_t>,
                                     bool refused) {
      std::lock_guard guard(seen.lock);
      seen.undeliverable.push_back(refused);
      seen.changed.notify_all();
    };
    Socks5UdpForwarder::Options options;
    options.clock = [this] { return now.load(); };
    options.max_associations = max_associations;
    return std::make_unique<Socks5UdpForwarder>(Socks5Server{"127.0.0.1", server.port(), "", ""}, callbacks, options);
  }

  // Sends until the relay has it (the first datagram waits for its association) and returns the
  // sender the relay saw.
  SocketAddress send_and_receive(Socks5UdpForwarder& forwarder, FakeSocks5UdpServer& server, const IpEndpoint& program,
                                 std::uint16_t port = 443) {
    const auto result = forwarder.send(program, {kRemote.address, port}, Bytes{'h', 'i'});
    EXPECT_TRUE(result == UdpSendResult::sent || result == UdpSendResult::held);
    const auto datagram = server.next_datagram(10s);
    EXPECT_TRUE(datagram.has_value());
    return datagram ? datagram->first : SocketAddress{};
  }

  static Bytes answer(std::uint8_t fragment, Bytes data) {
    Bytes framed{0, 0, fragment, 1, 203, 0, 113, 9, 1, 187};
    framed.insert(framed.end(), data.begin(), data.end());
    return framed;
  }

  Seen seen;
  std::atomic<std::chrono::steady_clock::time_point> now{std::chrono::steady_clock::time_point{}};
};

TEST_F(Socks5UdpForwarderTest, DatagramsGoToTheProxysAddressAndUsableAnswersComeBack) {
  FakeSocks5UdpServer server;
  auto forwarder = forwarder_for(server);
  ASSERT_EQ(forwarder->send(kProgram, kRemote, Bytes{'h', 'i'}), UdpSendResult::held);
  const auto first = server.next_datagram(10s);
  ASSERT_TRUE(first.has_value()) << "the relay named 0.0.0.0: the proxy's own address is used";
  EXPECT_EQ(first->second, (Bytes{0, 0, 0, 1, 203, 0, 113, 9, 1, 187, 'h', 'i'}));
  EXPECT_EQ(forwarder->send(kProgram, kRemote, Bytes{'!'}), UdpSendResult::sent);
  ASSERT_TRUE(server.next_datagram(10s).has_value());

  const SocketAddress client = first->first;
  server.send_to(client, answer(1, {'f'}));                      // a fragment
  server.send_to(client, Bytes{0, 0, 0, 3, 1, 'a', 0, 1, 'n'});  // from a host name
  server.send_to(client, answer(0, {'o', 'k'}));
  ASSERT_TRUE(seen.wait([](Seen& s) { return !s.delivered.empty(); }));
  std::lock_guard guard(seen.lock);
  ASSERT_EQ(seen.delivered.size(), 1u) << "only the usable answer";
  EXPECT_EQ(seen.delivered[0].first, kRemote);
  EXPECT_EQ(seen.delivered[0].second, (Bytes{'o', 'k'}));
  EXPECT_EQ(server.associations_granted(), 1u);
}

TEST_F(Socks5UdpForwarderTest, AMalformedAnswerOrAClosedAssociationEndsTheFlowAndTheNextDatagramOpensANewOne) {
  FakeSocks5UdpServer server;
  auto forwarder = forwarder_for(server);
  const SocketAddress client = send_and_receive(*forwarder, server, kProgram);
  server.send_to(client, Bytes{0, 0, 0, 9, 1});
  ASSERT_TRUE(server.wait_for_closed_by_client(1, 10s)) << "the association was closed";
  EXPECT_EQ(forwarder->association_count(), 0u);

  send_and_receive(*forwarder, server, kProgram);
  EXPECT_EQ(server.associations_granted(), 2u);
  server.close_associations();  // the proxy ends it
  for (auto deadline = std::chrono::steady_clock::now() + 10s;
       forwarder->association_count() != 0 && std::chrono::steady_clock::now() < deadline;) {
    std::this_thread::sleep_for(10ms);  // the forwarder's thread notices; polling its count
  }
  EXPECT_EQ(forwarder->association_count(), 0u);
  send_and_receive(*forwarder, server, kProgram);
  EXPECT_EQ(server.associations_granted(), 3u);
}

TEST_F(Socks5UdpForwarderTest, QuietAssociationsCloseByTheClockAndCrowdedOnesMakeRoom) {
  FakeSocks5UdpServer server;
  auto forwarder = forwarder_for(server, 2);
  send_and_receive(*forwarder, server, kProgram, 53);  // DNS only
  now = now.load() + 5s;
  send_and_receive(*forwarder, server, {kProgram.address, 40001});  // QUIC
  now = now.load() + 5s;
  forwarder->expire_idle();
  ASSERT_TRUE(server.wait_for_closed_by_client(1, 10s)) << "the DNS association after 10 quiet seconds";
  EXPECT_EQ(forwarder->association_count(), 1u);

  send_and_receive(*forwarder, server, {kProgram.address, 40002});
  now = now.load() + 1s;
  send_and_receive(*forwarder, server, {kProgram.address, 40003});
  ASSERT_TRUE(server.wait_for_closed_by_client(2, 10s)) << "the quietest made room for the third socket";
  EXPECT_EQ(forwarder->association_count(), 2u);
}

TEST_F(Socks5UdpForwarderTest, ARefusingProxyIsRememberedAndHeldDatagramsAreReportedRefused) {
  FakeSocks5UdpServer server(7);
  auto forwarder = forwarder_for(server);
  EXPECT_EQ(forwarder->send(kProgram, kRemote, Bytes{1}), UdpSendResult::held);
  // The refusal may already be in when the second datagram comes (a slow run): then it is
  // refused at once instead of held.
  const UdpSendResult second = forwarder->send(kProgram, kRemote, Bytes{2});
  ASSERT_TRUE(second == UdpSendResult::held || second == UdpSendResult::refused);
  const std::size_t held = second == UdpSendResult::held ? 2 : 1;
  ASSERT_TRUE(seen.wait([held](Seen& s) { return s.undeliverable.size() == held; }));
  EXPECT_EQ(seen.undeliverable, std::vector<bool>(held, true));
  EXPECT_TRUE(forwarder->refuses_udp());
  EXPECT_EQ(forwarder->send({kProgram.address, 40001}, kRemote, Bytes{3}), UdpSendResult::refused);
}

TEST_F(Socks5UdpForwarderTest, AnUnreachableProxyDropsHeldDatagramsAsNotRefused) {
  int port = 0;
  {
    FakeSocks5UdpServer gone;
    port = gone.port();
  }
  Socks5UdpForwarder::Callbacks callbacks;
  callbacks.undeliverable = [this](const IpEndpoint&, const IpEndpoint&, std::span<const std::uint8_t>, bool refused) {
    std::lock_guard guard(seen.lock);
    seen.undeliverable.push_back(refused);
    seen.changed.notify_all();
  };
  Socks5UdpForwarder forwarder({"127.0.0.1", port, "", ""}, callbacks);
  EXPECT_EQ(forwarder.send(kProgram, kRemote, Bytes{1}), UdpSendResult::held);
  ASSERT_TRUE(seen.wait([](Seen& s) { return s.undeliverable.size() == 1; }));
  EXPECT_FALSE(seen.undeliverable[0]);
  EXPECT_FALSE(forwarder.refuses_udp());
  forwarder.stop();
  EXPECT_EQ(forwarder.send(kProgram, kRemote, Bytes{1}), UdpSendResult::dropped);
}

}  // namespace
}  // namespace tovix
