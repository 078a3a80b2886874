#include "engine/pool/pool_readings.h"
#include "engine/pool/pool_texts.h"

#include <gtest/gtest.h>

#include <ctime>

#include "engine/pool/spread_mode.h"

namespace tovix::pool {
namespace {

using namespace std::chrono_literals;

// 2024-03-07 12:00:00 local time.
std::chrono::system_clock::time_point local_noon() {
  std::tm noon{};
  noon.tm_year = 124;
  noon.tm_mon = 2;
  noon.tm_mday = 7;
  noon.tm_hour = 12;
  noon.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&noon));
}

TEST(PoolTexts, HealthCellsSayStateSinceWhenAndWhy) {
  const auto now = local_noon();
  const ProxyIdentity proxy{"socks5", "u", "10.0.0.1", 1080};
  ProxyHealthView down{proxy,    ProxyState::down, 3, "SOCKS5 proxy 10.0.0.1:1080: connection refused",
                       now - 1h, now - 5s};

  const HealthText today = health_text(down, now);
  EXPECT_TRUE(today.down);
  EXPECT_EQ(today.state, "不可用 · 11:00:00 起");
  EXPECT_EQ(today.reason, "connection refused");
  EXPECT_NE(today.detail.find("原因: connection refused"), std::string::npos) << today.detail;

  down.since = now - 24h;
  EXPECT_EQ(health_text(down, now).state, "不可用 · 03-06 12:00 起") << "another day shows its date";
  down.last_reason = "SOCKS5 proxy 10.0.0.1:1080: " + std::string(60, 'x');
  EXPECT_EQ(health_text(down, now).reason, std::string(40, 'x') + "…");
  EXPECT_NE(health_text(down, now).detail.find(std::string(60, 'x')), std::string::npos) << "whole in the tooltip";

  ProxyHealthView fresh;
  fresh.identity = proxy;
  EXPECT_EQ(health_text(fresh, now).state, "正常");
  EXPECT_EQ(health_text(fresh, now).reason, "");
  EXPECT_FALSE(health_text(fresh, now).down);

  ProxyHealthView wobbling = fresh;
  wobbling.consecutive_failures = 2;
  wobbling.last_reason = "SOCKS5 proxy 10.0.0.1:1080: handshake timed out";
  wobbling.last_failure = now - 2s;
  const HealthText shaky = health_text(wobbling, now);
  EXPECT_EQ(shaky.state, "正常 · 连续失败 2 次");
  EXPECT_NE(shaky.detail.find("11:59:58: handshake timed out"), std::string::npos) << shaky.detail;

  ProxyHealthView back = fresh;
  back.since = now - 30s;
  EXPECT_EQ(health_text(back, now).state, "正常 · 11:59:30 恢复");

  EXPECT_EQ(health_text(std::nullopt, now).state, "—");
}

TEST(PoolTexts, UsageCell) {
  EXPECT_EQ(usage_text({1536, 3 * 1024 * 1024, 12}), "↑1.50 KB ↓3.00 MB · 12 连接");
  EXPECT_EQ(usage_text({}), "↑0 B ↓0 B · 0 连接");
}

TEST(PoolTexts, EventLines) {
  const ProxyIdentity proxy{"socks5", "u", "10.0.0.1", 1080};
  const std::string refused = "SOCKS5 proxy 10.0.0.1:1080: cannot connect to 10.0.0.1:1080: Connection refused";
  EXPECT_EQ(event_text({HealthEventKind::first_failure, proxy, refused, {}}),
            "代理 10.0.0.1:1080 连接失败: Connection refused");
  EXPECT_EQ(event_text({HealthEventKind::marked_down, proxy, refused, {}}),
            "代理 10.0.0.1:1080 已停用: 连续 3 次连接失败 (Connection refused)，新连接改用其他代理，每 30 秒重新检测");
  EXPECT_EQ(event_text({HealthEventKind::recovered, proxy, {}, {}}), "代理 10.0.0.1:1080 已恢复");
  EXPECT_EQ(event_text({HealthEventKind::all_down, {}, {}, {}}), STATUS_ALL_PROXIES_DOWN);
}

TEST(PoolReadings, TrackerAndStoreAnswerByIdentity) {
  auto health = std::make_shared<ProxyHealth>();
  const nlohmann::ordered_json entry{{"type", "socks5"}, {"host", "10.0.0.1"}, {"port", 1080}, {"username", "u"}};
  health->set_proxies(nlohmann::ordered_json::array({entry}));
  TrackedPoolReadings readings(health, nullptr);
  EXPECT_TRUE(readings.health_of(identity_of(entry)));
  EXPECT_FALSE(readings.health_of({"socks5", "u", "10.0.0.9", 1080}));
  EXPECT_EQ(readings.usage_of(identity_of(entry)).total, UsageCounters{}) << "no store: zeros";
}

}  // namespace
}  // namespace tovix::pool
