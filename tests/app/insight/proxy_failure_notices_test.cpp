#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "app/insight/proxy_failure_notices.h"

namespace tovix::insight {
namespace {

UpstreamOutcome failure(int port, std::string error, bool at_proxy = true) {
  return {"socks5", "10.0.0.5", port, false, at_proxy, std::move(error)};
}
UpstreamOutcome success(int port) { return {"socks5", "10.0.0.5", port, true, false, {}}; }

class ProxyFailureNoticesTest : public ::testing::Test {
 protected:
  std::mutex lock;
  std::vector<std::string> shown;
  std::shared_ptr<ProxyFailureNotices> notices = std::make_shared<ProxyFailureNotices>([this](const std::string& text) {
    std::lock_guard guard(lock);
    shown.push_back(text);
  });
};

TEST_F(ProxyFailureNoticesTest, OneNoticePerFailingProxyUntilItWorksAgain) {
  const auto rejected = failure(1080, "SOCKS5 proxy 10.0.0.5:1080: user name or password rejected by the SOCKS5 proxy");
  notices->observe(rejected);
  notices->observe(rejected);
  notices->observe(failure(1080, "SOCKS5 proxy 10.0.0.5:1080: handshake timed out"));
  notices->observe(failure(1081, "SOCKS5 proxy 10.0.0.5:1081: Connection refused"));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0], "代理 10.0.0.5:1080 连接失败: user name or password rejected by the SOCKS5 proxy");
  EXPECT_EQ(shown[1], "代理 10.0.0.5:1081 连接失败: Connection refused");

  notices->observe(success(1080));
  notices->observe(rejected);
  EXPECT_EQ(shown.size(), 3u) << "a proxy that worked again and fails anew is told again";
  notices->reset();
  notices->observe(failure(1081, "refused"));
  EXPECT_EQ(shown.size(), 4u);
}

TEST_F(ProxyFailureNoticesTest, UnreachableDestinationsAndDetachedSinksStayQuiet) {
  notices->observe(failure(1080, "SOCKS5 proxy 10.0.0.5:1080: CONNECT to 1.2.3.4:80 failed: host unreachable", false));
  EXPECT_TRUE(shown.empty());
  notices->detach();
  notices->observe(failure(1080, "refused"));
  EXPECT_TRUE(shown.empty());
}

TEST_F(ProxyFailureNoticesTest, ManyConnectionThreadsFailingAtOnceGiveOneNotice) {
  UpstreamObserver observer = observer_for(notices);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&observer] {
      for (int n = 0; n < 200; ++n) observer(failure(1080, "SOCKS5 proxy 10.0.0.5:1080: connection timed out"));
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shown, std::vector<std::string>{"代理 10.0.0.5:1080 连接失败: connection timed out"});
}

// The engine's tracker decides what is news; of its events only a first failure is a notice.
TEST_F(ProxyFailureNoticesTest, HealthEventsGiveTheFirstFailureOfAnEpisodeOnly) {
  const pool::ProxyIdentity proxy{"socks5", "u", "10.0.0.5", 1080};
  const auto sink = health_sink_for(notices);
  for (const auto kind : {pool::HealthEventKind::first_failure, pool::HealthEventKind::marked_down,
                          pool::HealthEventKind::recovered, pool::HealthEventKind::all_down}) {
    sink({kind,
          kind == pool::HealthEventKind::all_down ? pool::ProxyIdentity{} : proxy,
          "SOCKS5 proxy 10.0.0.5:1080: Connection refused",
          {}});
  }
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "代理 10.0.0.5:1080 连接失败: Connection refused");
  notices->detach();
  sink({pool::HealthEventKind::first_failure, proxy, "refused", {}});
  EXPECT_EQ(shown.size(), 1u) << "nothing after detach";
}

TEST(HandlerReason, DropsOnlyTheHandlersOwnNamingOfThisProxy) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"SOCKS5 proxy 10.0.0.5:1080: handshake timed out", "handshake timed out"},
      {"HTTP proxy 10.0.0.5:1080: CONNECT answered 407", "CONNECT answered 407"},
      {"SOCKS5 proxy 10.0.0.5:1080: cannot connect to 10.0.0.5:1080: Connection refused", "Connection refused"},
      // Another proxy's naming, or the same words deep in a peer's text, stay.
      {"SOCKS5 proxy 10.0.0.6:1080: refused", "SOCKS5 proxy 10.0.0.6:1080: refused"},
      {"CONNECT failed: the upstream said  proxy 10.0.0.5:1080: no",
       "CONNECT failed: the upstream said  proxy 10.0.0.5:1080: no"},
      {"SOCKS5 proxy 10.0.0.5:1080: ", "未知错误"},
      {"", "未知错误"},
  };
  for (const auto& [error, reason] : cases) EXPECT_EQ(handler_reason(error, "10.0.0.5", 1080), reason) << error;
}

}  // namespace
}  // namespace tovix::insight
