// Which connections a relay carries and which way each one leaves.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <vector>

#include "tests/engine/relay/relay_test_fixture.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using spdlog::level::warn;
using testing::LoopbackServer;

// Another program on this machine can connect to a relay from any address, even with the port
// number of a live diverted connection; it must never be carried to that connection's destination.
TEST_F(RelayHubTest, OnlyTheDivertedConnectionItselfIsCarried) {
  testing::MicrosocksProxy proxy;
  start_hub(proxy_entry("socks5", proxy.port()));
  RelayHub second_relay(nat, proxy_entry("socks5", proxy.port()));  // relays share the engine's NAT table
  const int second_port = second_relay.start().second;

  Client diverted(RelayHub::DIVERTED_SOURCE_IP, 0, true);
  diverted.record(*nat, echo.port());
  diverted.connect(relay_port);
  diverted.send("mine");
  EXPECT_EQ(diverted.receive(4), "mine");

  const std::string port = std::to_string(diverted.port);
  struct Intruder {
    const char* name;
    const char* source_ip;
    int relay_port;
    std::string warning;
  };
  const std::vector<Intruder> intruders{
      {"another source address", "127.0.0.1", relay_port, "中继拒绝非转发连接: 127.0.0.1:" + port},
      {"the diverted source on another relay", RelayHub::DIVERTED_SOURCE_IP, second_port,
       "中继拒绝重复连接: 127.0.0.2:" + port}};
  for (const auto& intruder : intruders) {
    SCOPED_TRACE(intruder.name);
    Client other(intruder.source_ip, diverted.port, true);
    EXPECT_TRUE(other.refused_by(intruder.relay_port));
    EXPECT_TRUE(testing::eventually([&] { return log.contains(warn, intruder.warning); }));
  }
  EXPECT_EQ(echo.accepted(), 1) << "no refused connection reached the destination";
  EXPECT_TRUE(nat->contains(diverted.port)) << "a refusal leaves the diverted connection's entry";
  diverted.send("still");
  EXPECT_EQ(diverted.receive(5), "still");
  second_relay.stop();
}

TEST_F(RelayHubTest, ChooserPicksEachConnectionsWayOut) {
  testing::MicrosocksProxy own_proxy;
  testing::TinyproxyProxy other_proxy;
  std::mutex lock;
  std::map<int, UpstreamChoice> choices;  // by client port
  std::vector<ConnectionRequest> requests;
  std::vector<UpstreamOutcome> outcomes;
  RelayOptions options;
  options.chooser = [&](const ConnectionRequest& request) {
    std::lock_guard guard(lock);
    requests.push_back(request);
    return choices.at(request.client_port);
  };
  hub = std::make_unique<RelayHub>(
      nat, proxy_entry("socks5", own_proxy.port()), make_upstream_handler,
      [&](const UpstreamOutcome& outcome) {
        std::lock_guard guard(lock);
        outcomes.push_back(outcome);
      },
      options);
  relay_port = hub->start().second;

  struct Way {
    const char* name;
    UpstreamChoice choice;
    const char* proxy_type;  // the proxy the observer hears of; null: none
  };
  const std::vector<Way> ways{
      {"the relay's proxy", UpstreamChoice::relay_proxy(), "socks5"},
      {"another proxy", UpstreamChoice::through(proxy_entry("http", other_proxy.port())), "http"},
      {"direct", UpstreamChoice::direct(), nullptr},
      {"blocked", UpstreamChoice::block(), nullptr}};
  int reached = 0;
  for (const auto& way : ways) {
    SCOPED_TRACE(way.name);
    const bool blocked = way.choice.way == UpstreamChoice::Way::block;
    std::size_t heard = 0;
    {
      std::lock_guard guard(lock);
      heard = outcomes.size();
    }
    Client client;
    {
      std::lock_guard guard(lock);
      choices[client.port] = way.choice;
    }
    client.record(*nat, echo.port());
    if (blocked) {
      EXPECT_TRUE(client.refused_by(relay_port));
      ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
      EXPECT_FALSE(nat->contains(client.port));
      EXPECT_EQ(echo.accepted(), reached);
      continue;
    }
    client.connect(relay_port);
    client.send(way.name);
    EXPECT_EQ(client.receive(std::string(way.name).size()), way.name);
    EXPECT_EQ(echo.accepted(), ++reached);
    std::lock_guard guard(lock);
    ASSERT_EQ(outcomes.size(), heard + (way.proxy_type ? 1 : 0));
    if (way.proxy_type) {
      EXPECT_EQ(outcomes.back().proxy_type, way.proxy_type);
    }
    ASSERT_FALSE(requests.empty());
    EXPECT_EQ(requests.back().client_port, client.port);
    EXPECT_EQ(requests.back().original_src_ip, "192.168.7.7");
    EXPECT_EQ(requests.back().dst_port, echo.port());
  }
}

// A proxy that takes connections and never answers holds each handshake until its time-out. However
// many connections wait on it, connections through other upstreams must still be served, at once.
TEST_F(RelayHubTest, AProxyThatNeverAnswersDoesNotHoldUpTheOthers) {
  testing::MicrosocksProxy working;
  auto silent = std::make_unique<LoopbackServer>(testing::never_answer());
  const int stuck_port = testing::free_loopback_port();  // destinations the chooser sends to `silent`
  RelayOptions options;
  options.chooser = [&, silent_port = silent->port()](const ConnectionRequest& request) {
    if (request.dst_port != stuck_port) return UpstreamChoice::relay_proxy();
    return UpstreamChoice::through(proxy_entry("socks5", silent_port));
  };
  start_hub(proxy_entry("socks5", working.port()), make_upstream_handler, options);

  constexpr int kStuck = 2 * static_cast<int>(RelayHub::HANDSHAKE_THREADS);
  std::vector<std::unique_ptr<Client>> stuck;
  for (int i = 0; i < kStuck; ++i) stuck.push_back(relayed_client(stuck_port));
  ASSERT_TRUE(testing::eventually([&] { return silent->accepted() == kStuck; })) << "every handshake waits at once";

  auto served = relayed_client(echo.port());
  served->send("through");
  EXPECT_EQ(served->receive(7), "through");
  // The silent proxy goes away: the waiting handshakes fail and the relay lets their clients go.
  silent.reset();
  for (auto& client : stuck) EXPECT_TRUE(client->sees_end());
}

}  // namespace
}  // namespace tovix
