#include "engine/pool/health_rechecker.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "common/socket.h"
#include "tests/engine/pool/pool_test_support.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::pool {
namespace {

using namespace std::chrono_literals;
using testing::Json;
using testing::ManualClock;
using testing::proxy_entry;

constexpr auto WAIT = 30s;

// A check whose answers the test sets per host, recording what it was asked.
class ScriptedCheck {
 public:
  void answer(const std::string& host, HandshakeCheckResult result) {
    std::lock_guard guard(_lock);
    _answers[host] = std::move(result);
  }
  // While held, checks wait inside the call.
  void hold() {
    std::lock_guard guard(_lock);
    _held = true;
  }
  void release() {
    {
      std::lock_guard guard(_lock);
      _held = false;
    }
    _changed.notify_all();
  }
  bool wait_until_inside(std::size_t count) {
    std::unique_lock guard(_lock);
    return _changed.wait_for(guard, WAIT, [&] { return _inside >= count; });
  }
  std::vector<std::pair<std::string, TestDestination>> calls() const {
    std::lock_guard guard(_lock);
    return _calls;
  }
  HandshakeCheck function() {
    return [this](const Json& entry, const TestDestination& destination) {
      std::unique_lock guard(_lock);
      const std::string host = entry.at("host").get<std::string>();
      _calls.emplace_back(host, destination);
      ++_inside;
      _changed.notify_all();
      _changed.wait(guard, [&] { return !_held; });
      return _answers.count(host) != 0 ? _answers[host] : HandshakeCheckResult{false, "no answer scripted"};
    };
  }

 private:
  mutable std::mutex _lock;
  std::condition_variable _changed;
  std::map<std::string, HandshakeCheckResult> _answers;
  std::vector<std::pair<std::string, TestDestination>> _calls;
  std::size_t _inside = 0;
  bool _held = false;
};

class HealthRecheckerTest : public ::testing::Test {
 protected:
  HealthRecheckerTest() { health->set_proxies(Json::array({a, b})); }

  void put_down(const Json& entry) {
    for (int i = 0; i < pool::FAILURES_TO_MARK_DOWN; ++i)
      health->record(identity_of(entry), testing::refused(entry));
  }

  ManualClock clock;
  std::shared_ptr<ProxyHealth> health = std::make_shared<ProxyHealth>(clock.function());
  ScriptedCheck check;
  const TestDestination destination{"cip.cc", 80};
  HealthRechecker rechecker{health, destination, check.function()};
  Json a = proxy_entry("10.0.0.1");
  Json b = proxy_entry("10.0.0.2");
};

TEST_F(HealthRecheckerTest, DownProxyComesBackAfterASuccessfulRecheck) {
  put_down(a);
  check.answer("10.0.0.1", {false, "SOCKS5 proxy 10.0.0.1:1080: connection refused"});
  EXPECT_EQ(rechecker.run_due_checks(), 0u) << "not due before the period";

  clock.advance(pool::HEALTH_RECHECK_PERIOD);
  EXPECT_EQ(rechecker.run_due_checks(), 1u);
  ASSERT_TRUE(rechecker.wait_until_idle(WAIT));
  EXPECT_FALSE(health->is_up(0));

  check.answer("10.0.0.1", {true, ""});
  clock.advance(pool::HEALTH_RECHECK_PERIOD);
  EXPECT_EQ(rechecker.run_due_checks(), 1u);
  ASSERT_TRUE(rechecker.wait_until_idle(WAIT));
  EXPECT_TRUE(health->is_up(0));

  const auto calls = check.calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].second, destination);
  EXPECT_TRUE(health->is_up(1)) << "proxies that are up are left alone";
}

TEST_F(HealthRecheckerTest, SlowCheckIsNotStartedTwiceAndStopDoesNotWaitForIt) {
  put_down(a);
  put_down(b);
  check.hold();
  clock.advance(pool::HEALTH_RECHECK_PERIOD);
  EXPECT_EQ(rechecker.run_due_checks(), 2u);
  ASSERT_TRUE(check.wait_until_inside(2));
  clock.advance(pool::HEALTH_RECHECK_PERIOD);
  EXPECT_EQ(rechecker.run_due_checks(), 0u) << "both still being checked";

  rechecker.start();
  rechecker.stop();  // returns although both checks hang
  EXPECT_EQ(rechecker.pending(), 2u);
  check.answer("10.0.0.2", {true, ""});
  check.release();
  ASSERT_TRUE(rechecker.wait_until_idle(WAIT));
  EXPECT_TRUE(health->is_up(1)) << "a result that comes after the stop still counts";
  EXPECT_EQ(check.calls().size(), 2u);
}

TEST_F(HealthRecheckerTest, ChecksRunAFewAtATime) {
  std::vector<Json> many;
  for (int i = 0; i < 10; ++i) many.push_back(proxy_entry("10.0.1." + std::to_string(i)));
  health->set_proxies(Json(many));
  for (const Json& entry : many) put_down(entry);
  check.hold();
  clock.advance(pool::HEALTH_RECHECK_PERIOD);
  EXPECT_EQ(rechecker.run_due_checks(), many.size());
  ASSERT_TRUE(check.wait_until_inside(std::size_t{HealthRechecker::MAX_PARALLEL}));
  EXPECT_EQ(check.calls().size(), std::size_t{HealthRechecker::MAX_PARALLEL});
  check.release();
  ASSERT_TRUE(rechecker.wait_until_idle(WAIT));
  EXPECT_EQ(check.calls().size(), many.size());
}

// The real check: one handshake through a real SOCKS5 proxy to a destination of our own.
TEST(HandshakeCheck, ThroughARealProxy) {
  tovix::testing::MicrosocksProxy proxy;
  auto listener = Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(4);
  const TestDestination reachable{"127.0.0.1", listener->local_address().second};

  Json entry{{"type", "socks5"},
             {"host", "127.0.0.1"},
             {"port", proxy.port()},
             {"username", tovix::testing::PROXY_USER},
             {"password", tovix::testing::PROXY_PASSWORD}};
  EXPECT_TRUE(check_handshake(entry, reachable).succeeded);

  // microsocks answers "connection refused" for a closed destination port: the proxy works.
  const TestDestination closed{"127.0.0.1", tovix::testing::free_loopback_port()};
  EXPECT_TRUE(check_handshake(entry, closed).succeeded);

  Json wrong_password = entry;
  wrong_password["password"] = "wrong";
  const HandshakeCheckResult rejected = check_handshake(wrong_password, reachable);
  EXPECT_FALSE(rejected.succeeded);
  EXPECT_NE(rejected.error.find("rejected"), std::string::npos) << rejected.error;
  EXPECT_EQ(rejected.error.find("wrong"), std::string::npos) << "never the password";

  Json no_proxy = entry;
  no_proxy["port"] = tovix::testing::free_loopback_port();
  EXPECT_FALSE(check_handshake(no_proxy, reachable).succeeded);
}

TEST(TestDestinationSetting, ReadFromSettingsOrTheDefaultSource) {
  struct Case {
    const char* text;
    std::optional<TestDestination> expected;
  };
  const Case cases[] = {
      {"example.org", TestDestination{"example.org", 80}},
      {" example.org:8080 ", TestDestination{"example.org", 8080}},
      {"http://cip.cc/", TestDestination{"cip.cc", 80}},
      {"HTTP://203.0.113.9:81/ip?x=1", TestDestination{"203.0.113.9", 81}},
      {"https://example.org/", std::nullopt},
      {"", std::nullopt},
      {"example.org:0", std::nullopt},
      {"example.org:70000", std::nullopt},
      {"example.org:port", std::nullopt},
      {"user@example.org", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_test_destination(c.text), c.expected) << c.text;

  EXPECT_EQ(test_destination_of(Json{{HEALTH_CHECK_TARGET_KEY, "example.org:8080"}}, "http://cip.cc/"),
            (TestDestination{"example.org", 8080}));
  EXPECT_EQ(test_destination_of(Json{{HEALTH_CHECK_TARGET_KEY, "https://bad/"}}, "http://cip.cc/"),
            (TestDestination{"cip.cc", 80}));
  EXPECT_EQ(test_destination_of(Json::object(), "http://cip.cc/"), (TestDestination{"cip.cc", 80}));
}

}  // namespace
}  // namespace tovix::pool
