#include "app/core/whitelist_follower.h"

#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <sstream>
#include <string>

#include "app/core/headless_runner.h"
#include "app/core/whitelist_auto_updater.h"
#include "config/settings_store.h"
#include "tests/support/console_fake.h"
#include "tests/support/temp_dir.h"

namespace tovix::app {
namespace {

using Json = nlohmann::ordered_json;
using Outcome = WhitelistFollowResult::Outcome;

constexpr const char* LISTING = "/console/v1/tv_proxy_ip/host";

std::string whitelist_path(int id) { return "/console/v1/tv_proxy_ip/host/" + std::to_string(id) + "/ip_white"; }

class WhitelistFollowerTest : public ::testing::Test {
 protected:
  WhitelistFollowerTest() {
    settings.set("tovixproxy_jwt", "token");
    settings.set("tovixproxy_base_url", console.base_url());
    settings.set(WHITELIST_ADDRESS_KEY, "198.51.100.1");
    Json items = Json::array();
    for (int id : {11, 12, 13}) items.push_back({{"id", id}, {"product_name", "短效"}});
    console.answer_json("GET", LISTING, {{"status", 200}, {"data", {{"list", items}, {"count", 3}}}});
    // 11 holds the old address among others, 12 with blanks and commas, 13 does not follow this
    // machine.
    stored(11, "203.0.113.5\n198.51.100.1\n203.0.113.6");
    stored(12, " 198.51.100.1 ,,203.0.113.7, ");
    stored(13, "203.0.113.8");
    for (int id : {11, 12, 13}) console.answer_json("POST", whitelist_path(id), {{"status", 200}, {"msg", "ok"}});
  }

  void stored(int id, const std::string& ip_white) {
    console.answer_json("GET", whitelist_path(id), {{"status", 200}, {"msg", ""}, {"data", {{"ip_white", ip_white}}}});
  }
  // The whitelist each product was given, in the order they were written.
  std::vector<std::pair<std::string, std::string>> writes() const {
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& request : console.requests()) {
      if (request.method == "POST") seen.emplace_back(request.path, request.json_body()["ip_white"].get<std::string>());
    }
    return seen;
  }
  WhitelistFollowResult check(std::optional<std::string> address) {
    return WhitelistFollower(settings, [address] { return address; }).check();
  }

  tovix::testing::TempDir dir;
  SettingsStore settings{dir / "config.json"};
  tovix::testing::ConsoleFake console;
};

TEST_F(WhitelistFollowerTest, NewAddressReplacesExactlyTheOldOneInEachProduct) {
  const WhitelistFollowResult result = check("192.0.2.44");
  EXPECT_EQ(result.outcome, Outcome::updated) << result.message;
  EXPECT_EQ(result.products_changed, 2);
  const auto written = writes();
  ASSERT_EQ(written.size(), 2u) << "the product without the old address is left alone";
  EXPECT_EQ(written[0], std::make_pair(whitelist_path(11), std::string("203.0.113.5\n192.0.2.44\n203.0.113.6")));
  EXPECT_EQ(written[1], std::make_pair(whitelist_path(12), std::string("192.0.2.44\n203.0.113.7")));
  EXPECT_EQ(settings.get(WHITELIST_ADDRESS_KEY), "192.0.2.44");
  EXPECT_EQ(result.message, "公网 IP 变为 192.0.2.44，已更新 2 个产品的白名单");

  EXPECT_EQ(check("192.0.2.44").outcome, Outcome::unchanged);
  EXPECT_EQ(writes().size(), 2u) << "the same address again sends nothing";
}

TEST_F(WhitelistFollowerTest, AddressAlreadyListedIsNotListedTwice) {
  stored(11, "192.0.2.44\n198.51.100.1");
  check("192.0.2.44");
  EXPECT_EQ(writes().at(0).second, "192.0.2.44");
}

TEST_F(WhitelistFollowerTest, WithoutAKnownAddressChangesNothing) {
  struct Case {
    const char* name;
    std::optional<std::string> address;
  };
  const Case cases[] = {
      {"look-up failed", std::nullopt}, {"empty answer", ""},    {"not an address", "IP: unknown"},
      {"out of range", "300.1.2.3"},    {"IPv6", "2001:db8::1"},
  };
  for (const Case& c : cases) {
    const WhitelistFollowResult result = check(c.address);
    EXPECT_EQ(result.outcome, Outcome::lookup_failed) << c.name;
    EXPECT_EQ(result.message, "未能获取本机公网 IP，白名单未改动") << c.name;
  }
  EXPECT_EQ(console.request_count(), 0u) << "the console is not even asked";
  EXPECT_EQ(settings.get(WHITELIST_ADDRESS_KEY), "198.51.100.1");
}

TEST_F(WhitelistFollowerTest, FirstAddressIsOnlyNoted) {
  settings.set(WHITELIST_ADDRESS_KEY, "");
  const WhitelistFollowResult result = check("192.0.2.44");
  EXPECT_EQ(result.outcome, Outcome::first_seen);
  EXPECT_EQ(console.request_count(), 0u);
  EXPECT_EQ(settings.get(WHITELIST_ADDRESS_KEY), "192.0.2.44");
}

TEST_F(WhitelistFollowerTest, RefusedWriteIsToldAndTriedAgain) {
  console.answer_json("POST", whitelist_path(12), {{"status", 403}, {"msg", "白名单数量已达上限"}});
  const WhitelistFollowResult failed = check("192.0.2.44");
  EXPECT_EQ(failed.outcome, Outcome::failed);
  EXPECT_EQ(failed.message, "白名单自动更新失败: 白名单数量已达上限");
  EXPECT_EQ(settings.get(WHITELIST_ADDRESS_KEY), "198.51.100.1") << "not taken as done";

  // Product 11 now holds the new address; only 12 still has the old one.
  stored(11, "203.0.113.5\n192.0.2.44\n203.0.113.6");
  console.answer_json("POST", whitelist_path(12), {{"status", 200}, {"msg", "ok"}});
  const std::size_t before = writes().size();
  EXPECT_EQ(check("192.0.2.44").outcome, Outcome::updated);
  const auto written = writes();
  ASSERT_EQ(written.size(), before + 1);
  EXPECT_EQ(written.back().first, whitelist_path(12));
}

TEST_F(WhitelistFollowerTest, SignedOutOrListingRefused) {
  console.answer_json("GET", LISTING, {{"status", 401}, {"msg", "登录已过期"}});
  const WhitelistFollowResult refused = check("192.0.2.44");
  EXPECT_EQ(refused.outcome, Outcome::failed);
  EXPECT_EQ(refused.message, "白名单自动更新失败: 登录已过期");
  EXPECT_TRUE(writes().empty());

  settings.set("tovixproxy_jwt", "");
  EXPECT_EQ(check("192.0.2.44").outcome, Outcome::not_signed_in);
}

// The option's runner: a check off the GUI thread, its result told once.
TEST_F(WhitelistFollowerTest, UpdaterChecksWhenSwitchedOnAndTellsEachResultOnce) {
  std::optional<std::string> address = "192.0.2.44";
  WhitelistAutoUpdater updater(settings, [&address] { return address; });
  QSignalSpy told(&updater, &WhitelistAutoUpdater::checked);
  updater.check_now();
  EXPECT_FALSE(updater.is_checking()) << "switched off: no check";

  updater.set_enabled(true);
  EXPECT_EQ(settings.get(AUTO_WHITELIST_KEY), true);
  EXPECT_TRUE(updater.timer()->isActive());
  EXPECT_EQ(updater.timer()->interval(), 5 * 60 * 1000);
  ASSERT_TRUE(told.wait(30000));
  EXPECT_EQ(told.at(0).at(0).toString(), QStringLiteral("公网 IP 变为 192.0.2.44，已更新 2 个产品的白名单"));
  EXPECT_TRUE(told.at(0).at(1).toBool());

  address.reset();
  updater.check_now();
  ASSERT_TRUE(told.wait(30000));
  EXPECT_FALSE(told.at(1).at(1).toBool());
  updater.check_now();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !updater.is_checking(); }, 30000));
  EXPECT_EQ(told.count(), 2) << "the same failure is not told twice";

  updater.set_enabled(false);
  EXPECT_FALSE(updater.timer()->isActive());
}

// Headless mode has no window to switch the option in, but follows the address all the same.
TEST_F(WhitelistFollowerTest, HeadlessModeChecksAtEngineStartAndPrintsTheResultOnce) {
  settings.set(AUTO_WHITELIST_KEY, true);
  std::ostringstream out;
  HeadlessRunner runner(settings, EngineOptions{}, out);
  WhitelistAutoUpdater updater(settings, [] { return std::optional<std::string>("192.0.2.44"); });
  runner.follow_whitelist(updater);
  const std::string printed = "[白名单] 公网 IP 变为 192.0.2.44，已更新 2 个产品的白名单\n";
  for (int start = 0; start < 2; ++start) {
    emit runner.engine().state_changed(EngineState::running);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !updater.is_checking(); }, 30000));
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(out.str(), printed) << "start " << start;
  }
  EXPECT_EQ(writes().size(), 2u) << "the second start finds the address unchanged";
}

}  // namespace
}  // namespace tovix::app
