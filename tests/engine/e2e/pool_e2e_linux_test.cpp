// The proxy pool on this machine with real programs: the engine (engine_driver) in a client
// namespace, two microsocks on two addresses of the remote namespace, each binding its outgoing
// connections to its own address, so the destination's peer address tells which proxy carried a
// connection. The first proxy dies mid-run and comes back.
#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "engine/pool/handshake_check.h"
#include "engine/pool/proxy_health.h"
#include "tests/support/divert_site_linux.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using testing::NetnsPair;
using testing::NetnsProcess;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

// In the pair's /24, reserved for benchmarking like the pair's own addresses.
constexpr const char* SECOND_PROXY_IP = "198.18.0.3";
// Down proxies are re-checked this often here instead of every 30 s.
constexpr int RECHECK_MS = 300;

class PoolEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) GTEST_SKIP() << reason;
    site = std::make_unique<testing::DivertSite>(1024);
    site->pair().add_remote_address(SECOND_PROXY_IP);
  }
  void TearDown() override {
    if (engine) {
      EXPECT_EQ(engine->stop(SIGTERM), 0) << engine->output();
    }
    engine.reset();
    proxies.clear();
    site.reset();
  }

  // A microsocks listening on `ip` whose connections to destinations leave from `ip`.
  std::unique_ptr<NetnsProcess> start_proxy(const std::string& ip, int port) {
    auto proxy = std::make_unique<NetnsProcess>(
        site->remote(),
        std::vector<std::string>{"microsocks", "-i", ip, "-p", std::to_string(port), "-b", ip, "-u",
                                 testing::PROXY_USER, "-P", testing::PROXY_PASSWORD},
        site->dir() / ("microsocks-" + ip + "-" + std::to_string(++started) + ".log"));
    testing::wait_until_accepting_in(site->remote(), ip, port);
    return proxy;
  }
  static Json proxy_entry(const std::string& ip, int port) {
    return {{"type", "socks5"},
            {"host", ip},
            {"port", port},
            {"username", testing::PROXY_USER},
            {"password", testing::PROXY_PASSWORD}};
  }

  void start_engine(const Json& record) {
    const auto file = site->dir() / "pool-settings.json";
    testing::write_text(file, record.dump(2));
    engine = std::make_unique<NetnsProcess>(
        site->client(),
        std::vector<std::string>{ENGINE_DRIVER, file.string(), "--recheck-ms", std::to_string(RECHECK_MS)},
        site->dir() / "pool-engine.log");
    ASSERT_TRUE(engine->wait_for_output("status: 代理已启", 30s)) << engine->output();
  }

  // The chosen program fetches a page; its exit code (0: the page came).
  int fetch_chosen(const std::string& path) {
    const CommandResult result =
        NetnsPair::run(site->client(), {site->chosen_curl().string(), "-sS", "--max-time", "20", site->url(path)}, 60s);
    if (result.exit_code == 0) {
      EXPECT_EQ(result.standard_output, "ok");
    }
    return result.exit_code;
  }
  std::string last_peer() const {
    const auto peers = site->destination().peers();
    return peers.empty() ? "" : peers.back();
  }

  std::unique_ptr<testing::DivertSite> site;
  std::vector<std::unique_ptr<NetnsProcess>> proxies;
  std::unique_ptr<NetnsProcess> engine;
  int started = 0;
};

TEST_F(PoolEndToEndTest, NewConnectionsLeaveADeadProxyAndReturnWhenItAnswersAgain) {
  NetnsProcess placeholder(site->client(), {site->chosen_placeholder().string(), "600"},
                           site->dir() / "pool-placeholder.log");
  const int first_port = testing::free_port_in(site->remote());
  proxies.push_back(start_proxy(NetnsPair::REMOTE_IP, first_port));
  const int second_port = testing::free_port_in(site->remote());
  proxies.push_back(start_proxy(SECOND_PROXY_IP, second_port));
  Json record{
      {"proxy_list",
       Json::array({proxy_entry(NetnsPair::REMOTE_IP, first_port), proxy_entry(SECOND_PROXY_IP, second_port)})},
      {"process_list", Json::array({testing::DivertSite::CHOSEN_NAME})},
      // Re-checks reach a listener that is not the destination, whose peers the test reads.
      {pool::HEALTH_CHECK_TARGET_KEY, std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(site->http_port())}};
  start_engine(record);

  ASSERT_EQ(fetch_chosen("/before"), 0) << engine->output();
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP) << "the first proxy takes connections while it is up";

  EXPECT_EQ(proxies[0]->stop(SIGKILL), 128 + SIGKILL);
  const std::string first = std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(first_port);
  for (int i = 1; i <= pool::FAILURES_TO_MARK_DOWN; ++i)
    EXPECT_NE(fetch_chosen("/dead-" + std::to_string(i)), 0) << "connection " << i << " is not retried elsewhere";
  // The third failure is known before its connection is closed: well within a second.
  EXPECT_TRUE(engine->wait_for_output("health: 代理 " + first + " 已停用", 1s)) << engine->output();
  const std::size_t peers_before = site->destination().peers().size();
  ASSERT_EQ(fetch_chosen("/after"), 0) << engine->output();
  EXPECT_EQ(site->destination().peers().size(), peers_before + 1);
  EXPECT_EQ(last_peer(), SECOND_PROXY_IP) << "the next connection goes through the second proxy";
  EXPECT_EQ(engine->output().find("全部代理不可用"), std::string::npos);

  proxies[0] = start_proxy(NetnsPair::REMOTE_IP, first_port);
  ASSERT_TRUE(engine->wait_for_output("health: 代理 " + first + " 已恢复", 30s)) << engine->output();
  ASSERT_EQ(fetch_chosen("/back"), 0) << engine->output();
  EXPECT_EQ(last_peer(), NetnsPair::REMOTE_IP) << "the first proxy is back in use";
}

}  // namespace
}  // namespace tovix
