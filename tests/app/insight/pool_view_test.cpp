// The proxy list and the proxy-check tab show what the pool knows of each proxy: up or down,
// since when and why, and what it carried. A fake stands in for the engine's readings.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDir>
#include <QHeaderView>
#include <QTabWidget>
#include <QTableWidget>

#include <map>

#include "app/core/proxy_text.h"
#include "app/core/whitelist_auto_updater.h"
#include "app/insight/failure_status_feed.h"
#include "app/insight/proxy_check_panel.h"
#include "app/insight/proxy_check_service.h"
#include "app/insight/window_insight.h"
#include "app/window/account_panel.h"
#include "app/window/main_window.h"
#include "app/window/proxy_list_panel.h"
#include "app/window/whitelist_follow_box.h"
#include "engine/pool/pool_readings.h"
#include "engine/pool/usage_store.h"
#include "tests/app/window_fixture.h"

namespace tovix::testing {
namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

class FakePoolReadings : public pool::PoolReadings {
 public:
  std::optional<pool::ProxyHealthView> health_of(const pool::ProxyIdentity& proxy) const override {
    const auto it = health.find(proxy.key());
    if (it == health.end()) return std::nullopt;
    return it->second;
  }
  pool::ProxyUsage usage_of(const pool::ProxyIdentity& proxy) const override {
    const auto it = usage.find(proxy.key());
    return it == usage.end() ? pool::ProxyUsage{} : it->second;
  }

  std::map<std::string, pool::ProxyHealthView> health;
  std::map<std::string, pool::ProxyUsage> usage;
};

class PoolView : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    const Json list = Json::array({app::make_proxy_entry("socks5", "103.45.12.8", 1080, "alice", "pw"),
                                   app::make_proxy_entry("http", "58.218.92.3", 8080, "bob", "pw"),
                                   app::make_proxy_entry("socks5", "61.160.4.17", 1080, "carol", "pw")});
    settings.set("proxy_list", list);
    const auto now = std::chrono::system_clock::now();
    pool::ProxyHealthView up;
    up.identity = pool::identity_of(list[0]);
    readings->health[up.identity.key()] = up;
    pool::ProxyHealthView down;
    down.identity = pool::identity_of(list[1]);
    down.state = pool::ProxyState::down;
    down.consecutive_failures = 3;
    down.last_reason = "HTTP proxy 58.218.92.3:8080: cannot connect to 58.218.92.3:8080: Connection refused";
    down.since = now - 90s;
    down.last_failure = now - 5s;
    readings->health[down.identity.key()] = down;
    readings->usage[up.identity.key()] = {{18'300, 2'450'000, 14}, {1'200'000, 96'000'000, 812}};
    readings->usage[down.identity.key()] = {{640, 1'200, 3}, {52'000, 3'100'000, 97}};
    // The third proxy is not used by the engine: no health, no usage.
  }

  std::shared_ptr<FakePoolReadings> readings = std::make_shared<FakePoolReadings>();
};

TEST_F(PoolView, ProxyListShowsStateSinceWhenWhyAndUsage) {
  app::ProxyListPanel panel(settings);
  QTableWidget* table = panel.table();
  const int health = table->columnCount() - 2, usage = health + 1;
  EXPECT_EQ(table->horizontalHeaderItem(health)->text(), "状态");
  EXPECT_TRUE(table->isColumnHidden(health)) << "no readings yet: no empty columns";

  panel.set_pool_readings(readings);
  EXPECT_FALSE(table->isColumnHidden(health));
  ASSERT_EQ(table->rowCount(), 3);
  EXPECT_EQ(table->item(0, health)->text(), "正常");
  const QString down = table->item(1, health)->text();
  EXPECT_TRUE(down.startsWith("不可用 · ") && down.endsWith(" 起\nConnection refused")) << down.toStdString();
  EXPECT_TRUE(table->item(1, health)->toolTip().contains("原因: Connection refused"));
  EXPECT_EQ(table->item(2, health)->text(), "—");
  EXPECT_EQ(table->item(0, usage)->text(), "本次 ↑17.9 KB ↓2.34 MB · 14 连接\n累计 ↑1.14 MB ↓91.6 MB · 812 连接");

  // The engine learns more; the next refresh shows it, also for rows added since.
  readings->health[pool::identity_of(settings.proxy_list()[1]).key()].state = pool::ProxyState::up;
  panel.add_entries(Json::array({app::make_proxy_entry("socks5", "192.0.2.1", 1080, "", "")}));
  EXPECT_EQ(table->item(3, health)->text(), "—");
  panel.refresh_pool_cells();
  EXPECT_TRUE(table->item(1, health)->text().startsWith("正常"));
}

TEST_F(PoolView, ProxyCheckTabShowsStateAndUsage) {
  insight::ProxyCheckService service(std::vector<insight::IpSource>{});
  insight::ProxyCheckPanel panel(&service);
  panel.set_proxies(settings.proxy_list());
  QTableWidget* table = panel.table();
  ASSERT_EQ(table->rowCount(), 3);
  constexpr int POOL = insight::ProxyCheckPanel::POOL;
  EXPECT_TRUE(table->isColumnHidden(POOL));
  panel.set_pool_readings(readings);
  EXPECT_FALSE(table->isColumnHidden(POOL));
  const QString down = table->item(1, POOL)->text();
  EXPECT_TRUE(down.startsWith("不可用 · ") && down.contains(" 起 · Connection refused\n本次 ↑640 B"))
      << down.toStdString();
  EXPECT_EQ(table->item(0, POOL)->text(), "正常\n本次 ↑17.9 KB ↓2.34 MB · 14 连接");
  EXPECT_TRUE(table->item(0, POOL)->toolTip().contains("累计 ↑1.14 MB"));
  EXPECT_EQ(table->item(0, insight::ProxyCheckPanel::RESULT)->text(), "未检测") << "the check's own cells stay";

  panel.set_pool_readings(nullptr);
  EXPECT_TRUE(table->isColumnHidden(POOL));
}

// The window's proxy list reads the usage its engine counts: the totals of earlier runs come
// from the file beside the settings before the engine has run at all.
TEST_F(PoolView, WindowShowsTheUsageTheEngineCounts) {
  const Json list = settings.proxy_list();
  EngineOptions options = fake_engine();
  const auto file = pool::UsageStore::beside(settings.config_path());
  {
    pool::UsageStore earlier(file);
    earlier.add_connection(pool::identity_of(list[0]));
    earlier.add_traffic(pool::identity_of(list[0]), 2'048, 1'048'576);
    ASSERT_TRUE(earlier.save());
  }
  options.pool.usage = std::make_shared<pool::UsageStore>(file);
  insight::FailureStatusFeed failures;
  app::MainWindow window(settings, options);
  insight::install_insight(window, settings, failures, {});
  QTableWidget* table = window.proxy_panel()->table();
  const int usage = table->columnCount() - 1;
  ASSERT_FALSE(table->isColumnHidden(usage));
  EXPECT_EQ(table->item(0, usage)->text(), "本次 ↑0 B ↓0 B · 0 连接\n累计 ↑2.00 KB ↓1.00 MB · 1 连接");
  EXPECT_EQ(table->item(1, usage)->text(), "本次 ↑0 B ↓0 B · 0 连接\n累计 ↑0 B ↓0 B · 0 连接");

  options.pool.usage->add_traffic(pool::identity_of(list[1]), 512, 0);
  window.proxy_panel()->refresh_pool_cells();
  EXPECT_TRUE(table->item(1, usage)->text().startsWith("本次 ↑512 B")) << table->item(1, usage)->text().toStdString();

  const QString dir = qEnvironmentVariable("TOVIX_RENDER_DIR");
  if (dir.isEmpty()) return;
  window.resize(900, 640);
  window.show();
  window.tabs()->setCurrentIndex(0);
  EXPECT_TRUE(window.grab().save(QDir(dir).filePath("pool_usage_list.png")));
}

// For a person to look at: both tabs of the real window, when TOVIX_RENDER_DIR is set.
TEST_F(PoolView, RenderBothTabs) {
  const QString dir = qEnvironmentVariable("TOVIX_RENDER_DIR");
  if (dir.isEmpty()) GTEST_SKIP() << "TOVIX_RENDER_DIR not set";
  insight::FailureStatusFeed failures;
  app::MainWindow window(settings, fake_engine());
  const insight::InsightPanels panels = insight::install_insight(window, settings, failures, {});
  window.proxy_panel()->set_pool_readings(readings);
  panels.checks->set_pool_readings(readings);
  window.resize(900, 640);
  window.show();
  window.tabs()->setCurrentIndex(0);
  EXPECT_TRUE(window.grab().save(QDir(dir).filePath("pool_proxy_list.png")));
  for (int index = 0; index < window.tabs()->count(); ++index) {
    if (window.tabs()->widget(index)->isAncestorOf(panels.checks)) window.tabs()->setCurrentIndex(index);
  }
  EXPECT_TRUE(window.grab().save(QDir(dir).filePath("pool_proxy_check.png")));
  app::WhitelistFollowBox* whitelist = window.account_panel()->whitelist_box();
  whitelist->check_box()->setChecked(false);
  emit whitelist->updater()->checked(QStringLiteral("公网 IP 变为 192.0.2.44，已更新 2 个产品的白名单"), true);
  for (int index = 0; index < window.tabs()->count(); ++index) {
    if (window.tabs()->widget(index)->isAncestorOf(window.account_panel())) window.tabs()->setCurrentIndex(index);
  }
  EXPECT_TRUE(window.grab().save(QDir(dir).filePath("whitelist_option.png")));
}

}  // namespace
}  // namespace tovix::testing
