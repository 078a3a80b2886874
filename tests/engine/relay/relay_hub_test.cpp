#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "engine/relay/http_handler.h"
#include "engine/relay/socks5_handler.h"
#include "tests/engine/relay/relay_test_fixture.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
using spdlog::level::debug;
using spdlog::level::info;
using spdlog::level::warn;
using testing::LoopbackServer;

TEST_F(RelayHubTest, StartsOnAnOsChosenLoopbackPortOnlyOnce) {
  RelayHub first(nat, Json::object());
  RelayHub second(nat, Json::object());
  const SocketAddress a = first.start();
  const SocketAddress b = second.start();
  EXPECT_EQ(a.first, "127.0.0.1");
  EXPECT_NE(a.second, 0);
  EXPECT_NE(a.second, b.second);
  EXPECT_TRUE(log.contains(info, "本地中继服务器启动: 127.0.0.1:" + std::to_string(a.second)));
  EXPECT_THROW(first.start(), std::logic_error);

  RelayHub clash(nat, Json::object());
  EXPECT_THROW(clash.start("127.0.0.1", a.second), SocketError) << "a port in use is an error for the caller";
}

TEST_F(RelayHubTest, HandlerIsChosenByTypeInAnyLetterCase) {
  for (const char* type : {"http", "HTTP", "Http"}) {
    EXPECT_NE(dynamic_cast<HttpHandler*>(make_upstream_handler(type).get()), nullptr) << type;
  }
  for (const char* type : {"socks5", "SOCKS5", "", "https"}) {
    EXPECT_NE(dynamic_cast<Socks5Handler*>(make_upstream_handler(type).get()), nullptr) << type;
  }
}

// A handler that records what the relay asked of it and then fails.
struct RecordingHandler : UpstreamHandler {
  explicit RecordingHandler(std::promise<std::string>& calls) : calls(calls) {}
  std::shared_ptr<Socket> handle_connection(const std::string& dst_ip, int dst_port, const std::string& host, int port,
                                            const std::string& user, const std::string& password) override {
    calls.set_value(dst_ip + ":" + std::to_string(dst_port) + " via " + host + ":" + std::to_string(port) + " [" +
                    user + "][" + password + "]");
    throw ProxyError("recorded");
  }
  std::promise<std::string>& calls;
};

TEST_F(RelayHubTest, MissingProxyKeysTakeTheirDefaults) {
  std::promise<std::string> calls;
  std::string seen_type = "unset";
  start_hub(Json::object(), [&](const std::string& type) {
    seen_type = type;
    return std::make_unique<RecordingHandler>(calls);
  });
  auto client = relayed_client(4321);
  EXPECT_EQ(calls.get_future().get(), "127.0.0.1:4321 via 127.0.0.1:1080 [][]");
  EXPECT_TRUE(client->sees_end());
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_EQ(seen_type, "socks5");
  EXPECT_TRUE(log.contains(debug, "中继建立代理连接失败 127.0.0.1:4321: recorded"));
  EXPECT_FALSE(nat->contains(client->port));
}

TEST_F(RelayHubTest, ConnectionWithoutNatEntryIsClosedAfterWaitingAndTouchesNoEntry) {
  testing::MicrosocksProxy proxy;
  start_hub(proxy_entry("socks5", proxy.port()));
  nat->set(1, NatEntry{"192.168.7.7", "127.0.0.1", 9, 1.0, 0});
  Client client;
  client.connect(relay_port);
  EXPECT_TRUE(client.sees_end());
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_TRUE(log.contains(warn, "中继未找到 NAT 记录: 127.0.0.2:" + std::to_string(client.port)));
  EXPECT_TRUE(nat->contains(1));
  EXPECT_EQ(hub->client_count(), 0u);
}

class RelayThroughProxyTest : public RelayHubTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    proxy = start_proxy(GetParam());
    start_hub(proxy_entry(GetParam(), proxy->port()));
  }
  std::unique_ptr<testing::UpstreamProxy> proxy;
};

TEST_P(RelayThroughProxyTest, RelaysAndCountsEveryForwardedByte) {
  LoopbackServer destination([](Socket& connection) {
    EXPECT_EQ(testing::receive_up_to(connection, 100), std::string(100, 'u'));
    const std::string answer(300, 'd');
    connection.send_all(answer.data(), answer.size());
    testing::receive_up_to(connection, 1);
  });
  auto client = relayed_client(destination.port());
  client->send(std::string(100, 'u'));
  EXPECT_EQ(client->receive(300), std::string(300, 'd'));
  client->socket->close();
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_EQ(hub->get_traffic(), std::make_pair(std::uint64_t{100}, std::uint64_t{300}));
  EXPECT_FALSE(nat->contains(client->port)) << "a finished connection removes its entry";
  EXPECT_EQ(hub->client_count(), 0u);
  const std::string from = "127.0.0.2:" + std::to_string(client->port);
  EXPECT_TRUE(log.contains(debug, "中继接受连接: " + from));
  EXPECT_TRUE(log.contains(debug, "中继转发: " + from + " → 127.0.0.1:" + std::to_string(destination.port())));
}

TEST_P(RelayThroughProxyTest, EntryRecordedWellAfterTheAcceptIsStillUsed) {
  Client client;
  client.connect(relay_port);
  ASSERT_TRUE(testing::eventually([&] { return hub->live_connections() == 1; }));
  std::this_thread::sleep_for(1500ms);  // the delay under test, not a synchronisation
  client.record(*nat, echo.port());
  client.send("late entry");
  EXPECT_EQ(client.receive(10), "late entry");
}

TEST_P(RelayThroughProxyTest, LosesNoByteOf64MiBEachWay) {
  constexpr std::uint64_t kSize = 64ull << 20;
  std::promise<std::uint64_t> upstream_digest;
  LoopbackServer destination([&](Socket& connection) {
    std::thread sender([&] { testing::send_pattern(connection, 2, kSize); });
    upstream_digest.set_value(testing::receive_digest(connection, kSize));
    sender.join();
    testing::receive_up_to(connection, 1);
  });
  auto client = relayed_client(destination.port());
  std::thread sender([&] { testing::send_pattern(*client->socket, 1, kSize); });
  const std::uint64_t downstream_digest = testing::receive_digest(*client->socket, kSize);
  sender.join();
  EXPECT_EQ(upstream_digest.get_future().get(), testing::pattern_digest(1, kSize));
  EXPECT_EQ(downstream_digest, testing::pattern_digest(2, kSize));
  client->socket->close();
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_EQ(hub->get_traffic(), std::make_pair(kSize, kSize));
}

TEST_P(RelayThroughProxyTest, StopEndsOpenConnectionsAndKeepsTheTotals) {
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(relayed_client(echo.port()));
    clients.back()->send("open");
    EXPECT_EQ(clients.back()->receive(4), "open");
  }
  hub->stop();
  for (auto& client : clients) EXPECT_TRUE(client->sees_end());
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  for (auto& client : clients) EXPECT_FALSE(nat->contains(client->port));
  EXPECT_EQ(nat->size(), 0u);
  EXPECT_EQ(hub->get_traffic(), std::make_pair(std::uint64_t{12}, std::uint64_t{12}));
  EXPECT_EQ(hub->client_count(), 0u);
  EXPECT_THROW(Client().connect(relay_port), SocketError) << "the listener is closed";
}

INSTANTIATE_TEST_SUITE_P(Proxies, RelayThroughProxyTest, ::testing::Values("socks5", "http"));

// A desktop session hands programs a soft limit of 1024 open descriptors; the relay needs two per
// connection and raises its limit itself. Here the limit it starts with is far below the need.
TEST_F(RelayHubTest, TwoHundredSimultaneousConnectionsAllCompleteBeyondTheDescriptorLimitItStartedWith) {
  testing::MicrosocksProxy proxy;
  testing::set_soft_descriptor_limit(256);  // where the system has such a limit
  start_hub(proxy_entry("socks5", proxy.port()));
  constexpr int kConnections = 200;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kConnections; ++i) clients.push_back(relayed_client(echo.port()));
  std::uint64_t sent = 0;
  for (int i = 0; i < kConnections; ++i) {
    const std::string text = "connection " + std::to_string(i);
    clients[i]->send(text);
    EXPECT_EQ(clients[i]->receive(text.size()), text);
    sent += text.size();
  }
  EXPECT_EQ(hub->live_connections(), static_cast<std::size_t>(kConnections));
  for (auto& client : clients) client->socket->close();
  ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
  EXPECT_EQ(hub->get_traffic(), std::make_pair(sent, sent));
  EXPECT_EQ(nat->size(), 0u);
}

TEST_F(RelayHubTest, UpstreamFailuresCloseTheClientRemoveTheEntryAndLeaveTheRelayServing) {
  testing::MicrosocksProxy socks;
  testing::TinyproxyProxy http;
  LoopbackServer closes_mid_handshake([](Socket& connection) { testing::receive_some(connection); });
  LoopbackServer answers_407([](Socket& c) {
    testing::receive_some(c), c.send_all("HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", 47);
  });
  LoopbackServer answers_502(
      [](Socket& c) { testing::receive_some(c), c.send_all("HTTP/1.1 502 Bad Gateway\r\n\r\n", 28); });
  const Json good = proxy_entry("socks5", socks.port());
  const std::vector<std::pair<std::string, Json>> failures{
      {"socks5 wrong password", proxy_entry("socks5", socks.port(), "wrong")},
      {"http wrong password", proxy_entry("http", http.port(), "wrong")},
      {"proxy not listening", proxy_entry("socks5", testing::free_loopback_port())},
      {"closes mid-handshake", proxy_entry("socks5", closes_mid_handshake.port())},
      {"http 407", proxy_entry("HTTP", answers_407.port())},
      {"http 502", proxy_entry("http", answers_502.port())}};
  start_hub(good);
  for (const auto& [name, config] : failures) {
    SCOPED_TRACE(name);
    hub->set_proxy_config(config);
    auto failed = relayed_client(echo.port());
    EXPECT_TRUE(failed->sees_end());
    ASSERT_TRUE(hub->wait_until_idle(END_TIMEOUT));
    EXPECT_FALSE(nat->contains(failed->port));
    EXPECT_TRUE(log.contains_fragment(debug, "中继建立代理连接失败 127.0.0.1:" + std::to_string(echo.port()) + ": "));
    EXPECT_FALSE(log.contains_fragment(debug, "wrong")) << "no password in the log";

    hub->set_proxy_config(good);
    auto next = relayed_client(echo.port());
    next->send("still serving");
    EXPECT_EQ(next->receive(13), "still serving");
  }
}

TEST_F(RelayHubTest, HubDestroyedWithOpenConnectionsEndsThemSafely) {
  testing::MicrosocksProxy proxy;
  start_hub(proxy_entry("socks5", proxy.port()));
  auto relayed = relayed_client(echo.port());
  relayed->send("x");
  EXPECT_EQ(relayed->receive(1), "x");
  Client waiting_for_entry;
  waiting_for_entry.connect(relay_port);
  ASSERT_TRUE(testing::eventually([&] { return hub->live_connections() == 2; }));
  hub.reset();
  EXPECT_TRUE(relayed->sees_end());
  EXPECT_TRUE(waiting_for_entry.sees_end());
  // The connection threads hold the last references to what they share with the hub.
  EXPECT_TRUE(testing::eventually([&] { return nat.use_count() == 1; }));
  EXPECT_EQ(nat->size(), 0u);
}

// What the observer hears of each connection: the application tells a user from it that a
// proxy stopped working, so a destination the proxy could not reach must not read as a dead proxy.
class UpstreamOutcomeTest : public RelayHubTest, public ::testing::WithParamInterface<std::string> {
 protected:
  // Relays one connection towards `dst_port` through `config` and returns what was observed.
  UpstreamOutcome outcome_of(Json config, int dst_port) {
    std::promise<UpstreamOutcome> seen;
    hub = std::make_unique<RelayHub>(nat, std::move(config), make_upstream_handler,
                                     [&](const UpstreamOutcome& outcome) { seen.set_value(outcome); });
    relay_port = hub->start().second;
    auto client = relayed_client(dst_port);
    UpstreamOutcome outcome = seen.get_future().get();
    client->socket->close();
    EXPECT_TRUE(hub->wait_until_idle(END_TIMEOUT));
    hub.reset();
    return outcome;
  }
};

TEST_P(UpstreamOutcomeTest, TellsProxyFailuresFromUnreachableDestinations) {
  auto proxy = start_proxy(GetParam());
  const UpstreamOutcome good = outcome_of(proxy_entry(GetParam(), proxy->port()), echo.port());
  EXPECT_TRUE(good.succeeded);
  EXPECT_EQ(good.proxy_host, "127.0.0.1");
  EXPECT_EQ(good.proxy_port, proxy->port());
  EXPECT_EQ(good.proxy_type, GetParam());

  const UpstreamOutcome rejected = outcome_of(proxy_entry(GetParam(), proxy->port(), "wrong-pw"), echo.port());
  EXPECT_FALSE(rejected.succeeded);
  EXPECT_TRUE(rejected.at_proxy);
  EXPECT_NE(rejected.error.find("rejected"), std::string::npos) << rejected.error;
  EXPECT_EQ(rejected.error.find("wrong-pw"), std::string::npos);

  const int closed_port = testing::free_loopback_port();
  const UpstreamOutcome absent = outcome_of(proxy_entry(GetParam(), closed_port), echo.port());
  EXPECT_FALSE(absent.succeeded);
  EXPECT_TRUE(absent.at_proxy);
  EXPECT_NE(absent.error.find(std::to_string(closed_port)), std::string::npos) << absent.error;

  const UpstreamOutcome unreachable = outcome_of(proxy_entry(GetParam(), proxy->port()), testing::free_loopback_port());
  EXPECT_FALSE(unreachable.succeeded);
  EXPECT_FALSE(unreachable.at_proxy) << unreachable.error;
}

INSTANTIATE_TEST_SUITE_P(Proxies, UpstreamOutcomeTest, ::testing::Values("socks5", "http"));

}  // namespace
}  // namespace tovix
