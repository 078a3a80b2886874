#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <map>
#include <mutex>

#include "app/insight/plain_http.h"
#include "app/insight/proxy_check.h"
#include "app/insight/proxy_check_runner.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::insight {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;
using testing::answer_after_request_head;
using testing::LoopbackServer;

std::optional<std::string> whole_body(std::string_view body) { return std::string(body); }

IpSource source_at(const LoopbackServer& server) {
  return {"http://127.0.0.1:" + std::to_string(server.port()) + "/", whole_body};
}

Json proxy_entry(const testing::UpstreamProxy& proxy, const std::string& password = testing::PROXY_PASSWORD) {
  return Json{{"type", proxy.type()},
              {"host", "127.0.0.1"},
              {"port", proxy.port()},
              {"username", testing::PROXY_USER},
              {"password", password}};
}

// Every reading of the clock is 25 ms after the one before, so the handshake time is exact.
ProxyChecker::Clock stepping_clock() {
  auto ticks = std::make_shared<std::atomic<int>>(0);
  return [ticks] { return std::chrono::steady_clock::time_point(25ms * ticks->fetch_add(1)); };
}

class ProxyCheckTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "http") {
      proxy = std::make_unique<testing::TinyproxyProxy>();
    } else {
      proxy = std::make_unique<testing::MicrosocksProxy>();
    }
  }
  std::unique_ptr<testing::UpstreamProxy> proxy;
  LoopbackServer failing{answer_after_request_head("HTTP/1.0 503 Service Unavailable\r\n\r\n203.0.113.9")};
  LoopbackServer empty{answer_after_request_head("HTTP/1.0 200 OK\r\n\r\n \r\n")};
  LoopbackServer good{answer_after_request_head("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n198.51.100.23\n")};
};

TEST_P(ProxyCheckTest, AWorkingProxyGivesItsHandshakeTimeAndTheFirstAddressASourceNames) {
  const int nobody = testing::free_loopback_port();
  ProxyChecker checker({{"http://127.0.0.1:" + std::to_string(nobody) + "/", whole_body},
                        source_at(failing),
                        source_at(empty),
                        source_at(good)},
                       ProxyChecker::default_handler_factory(), stepping_clock());
  const ProxyCheckResult result = checker.check(proxy_entry(*proxy));
  EXPECT_TRUE(result.reachable) << result.error;
  EXPECT_EQ(result.exit_address, "198.51.100.23");
  EXPECT_TRUE(result.error.empty());
  EXPECT_DOUBLE_EQ(result.handshake_ms, 25.0);
  EXPECT_EQ(result.grants_udp, GetParam() == "socks5" ? std::optional<bool>(false) : std::nullopt)
      << "microsocks refuses UDP ASSOCIATE; an HTTP proxy is not asked";
  EXPECT_EQ(failing.accepted(), 1);
  EXPECT_EQ(good.accepted(), 1);
}

TEST_P(ProxyCheckTest, WrongPasswordOrNoProxyListeningGivesTheHandlersTextAndAsksNoSource) {
  ProxyChecker checker({source_at(good)});
  const ProxyCheckResult rejected = checker.check(proxy_entry(*proxy, "wrong-password"));
  EXPECT_FALSE(rejected.reachable);
  EXPECT_NE(rejected.error.find("rejected"), std::string::npos) << rejected.error;
  EXPECT_EQ(rejected.error.find("wrong-password"), std::string::npos);
  EXPECT_FALSE(rejected.grants_udp.has_value()) << "a proxy that cannot be reached is not asked for UDP";

  Json absent = proxy_entry(*proxy);
  absent["port"] = testing::free_loopback_port();
  const ProxyCheckResult refused = checker.check(absent);
  EXPECT_FALSE(refused.reachable);
  EXPECT_NE(refused.error.find(std::to_string(absent["port"].get<int>())), std::string::npos) << refused.error;
  EXPECT_EQ(good.accepted(), 0);
}

TEST_P(ProxyCheckTest, AWorkingProxyWhoseSourcesAllFailIsStillReachable) {
  ProxyChecker checker({source_at(failing), source_at(empty)});
  const ProxyCheckResult result = checker.check(proxy_entry(*proxy));
  EXPECT_TRUE(result.reachable);
  EXPECT_TRUE(result.exit_address.empty());
  EXPECT_EQ(result.error, "未能获取出口 IP");
}

INSTANTIATE_TEST_SUITE_P(Proxies, ProxyCheckTest, ::testing::Values("socks5", "http"));

TEST(ProxyCheck, ASourceThatAnswersTooMuchIsPassedOver) {
  testing::MicrosocksProxy proxy;
  LoopbackServer flood([](Socket& connection) {
    const std::string header = "HTTP/1.0 200 OK\r\n\r\n";
    connection.send_all(header.data(), header.size());
    const std::string junk(MAX_ANSWER_BYTES + 1, '7');
    connection.send_all(junk.data(), junk.size());
  });
  LoopbackServer good(answer_after_request_head("HTTP/1.0 200 OK\r\n\r\n198.51.100.23"));
  ProxyChecker checker({source_at(flood), source_at(good)});
  EXPECT_EQ(checker.check(proxy_entry(proxy)).exit_address, "198.51.100.23");
}

TEST(ProxyCheck, KeysNameTheProxyWithoutItsPassword) {
  const Json entry{{"type", "http"}, {"host", "p.example"}, {"port", 8080}, {"username", "u"}, {"password", "pw"}};
  EXPECT_EQ(proxy_key(entry), "http://u@p.example:8080");
  Json other = entry;
  other["password"] = "changed";
  EXPECT_EQ(proxy_key(other), proxy_key(entry));
  EXPECT_EQ(proxy_key(Json::object()), "socks5://@127.0.0.1:1080");
}

TEST(PlainHttp, SplitsOnlyPlainHttpAddresses) {
  const HttpUrl url = split_http_url("HTTP://ip.example:8080/ip");
  EXPECT_EQ(url.host, "ip.example");
  EXPECT_EQ(url.port, 8080);
  EXPECT_EQ(url.path, "/ip");
  EXPECT_EQ(split_http_url("http://ip.example").path, "/");
  for (const char* bad : {"https://ip.example/", "http://", "http://h:99999/", "http://h:x/", "http://a@b/"}) {
    EXPECT_THROW(split_http_url(bad), std::invalid_argument) << bad;
  }
}

TEST(ProxyCheckRunner, ChecksRunOffTheCallersThreadOncePerKeyAndAllFinish) {
  std::mutex lock;
  std::map<std::string, std::string> results;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  ProxyCheckRunner runner(
      [&](const Json& entry) {
        released.wait();
        ProxyCheckResult result;
        result.exit_address = entry["host"].get<std::string>();
        return result;
      },
      [&](const std::string& key, const ProxyCheckResult& result) {
        std::lock_guard guard(lock);
        results[key] = result.exit_address;
      },
      2);
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(runner.submit("p" + std::to_string(i), Json{{"host", std::to_string(i)}}));
  EXPECT_FALSE(runner.submit("p3", Json{{"host", "again"}})) << "a queued check is not queued twice";
  EXPECT_EQ(runner.pending(), 6u);
  release.set_value();
  ASSERT_TRUE(runner.wait_until_idle(30s));
  std::lock_guard guard(lock);
  ASSERT_EQ(results.size(), 6u);
  EXPECT_EQ(results["p3"], "3");
}

TEST(ProxyCheckRunner, ADestroyedRunnerDropsQueuedChecksAndReportsNothingMore) {
  std::atomic<int> reported{0};
  std::promise<void> release;
  // The check's thread outlives the runner and may still be leaving the check when the test
  // ends, so what it touches is shared with it rather than on the test's stack.
  struct CheckState {
    std::shared_future<void> released;
    std::atomic<int> started{0};
  };
  auto state = std::make_shared<CheckState>();
  state->released = release.get_future().share();
  std::atomic<int>& started = state->started;
  auto runner = std::make_unique<ProxyCheckRunner>(
      [state](const Json&) {
        ++state->started;
        state->released.wait();
        return ProxyCheckResult{};
      },
      [&](const std::string&, const ProxyCheckResult&) { ++reported; }, 1);
  runner->submit("a", Json::object());
  runner->submit("b", Json::object());
  ASSERT_TRUE(testing::eventually([&] { return started == 1; }));
  runner.reset();
  release.set_value();
  // The running check ends on its own thread; nothing of it is reported and "b" never starts.
  EXPECT_FALSE(testing::eventually([&] { return reported > 0 || started > 1; }, 300ms));
}

}  // namespace
}  // namespace tovix::insight
