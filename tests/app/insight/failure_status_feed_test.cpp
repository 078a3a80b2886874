#include <gtest/gtest.h>

#include <QSignalSpy>

#include "app/insight/failure_status_feed.h"
#include "engine/relay/relay_hub.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::insight {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

// Relayed connections towards the echo server through a relay whose proxy rejects its password.
TEST(FailureStatusFeed, ManyConnectionsFailingAtAnExpiredProxyGiveOneStatusOnTheGuiThread) {
  testing::MicrosocksProxy proxy;
  testing::LoopbackServer echo(testing::greet_then_echo());
  auto nat = std::make_shared<NatTable>();
  FailureStatusFeed feed;
  QSignalSpy shown(&feed, &FailureStatusFeed::proxy_failed);
  RelayHub hub(nat,
               Json{{"type", "socks5"},
                    {"host", "127.0.0.1"},
                    {"port", proxy.port()},
                    {"username", testing::PROXY_USER},
                    {"password", "expired"}},
               make_upstream_handler, feed.observer());
  const int relay_port = hub.start().second;
  std::vector<std::shared_ptr<Socket>> clients;
  for (int i = 0; i < 5; ++i) {
    auto client = Socket::create_tcp();
    client->bind(RelayHub::DIVERTED_SOURCE_IP, 0);
    nat->set(client->local_address().second, NatEntry{"10.0.0.2", "127.0.0.1", echo.port(), nat_clock_now(), 0});
    client->connect("127.0.0.1", relay_port, 10s);
    clients.push_back(client);
  }
  for (auto& client : clients) EXPECT_TRUE(testing::sees_end_of_stream(*client, 30s));
  ASSERT_TRUE(hub.wait_until_idle(30s));
  ASSERT_TRUE(shown.count() > 0 || shown.wait(30000));
  QCoreApplication::processEvents();
  ASSERT_EQ(shown.count(), 1);
  const QString text = shown.at(0).at(0).toString();
  EXPECT_EQ(text, "代理 127.0.0.1:" + QString::number(proxy.port()) +
                      " 连接失败: user name or password rejected by the SOCKS5 proxy");
  EXPECT_FALSE(text.contains("expired"));
}

TEST(FailureStatusFeed, AnObserverThatOutlivesItsFeedGoesNowhere) {
  UpstreamObserver observer;
  {
    FailureStatusFeed feed;
    observer = feed.observer();
  }
  observer(UpstreamOutcome{"socks5", "10.0.0.5", 1080, false, true, "refused"});
  QCoreApplication::processEvents();
}

}  // namespace
}  // namespace tovix::insight
