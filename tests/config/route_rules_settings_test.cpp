// Routing rules and name resolution in config.json: files from before they existed, stored
// rules, and rules the engine could not follow.
#include <gtest/gtest.h>

#include "common/logging.h"
#include "config/settings_store.h"
#include "engine/rules/rule_json.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using testing::LogCapture;
using testing::read_text;
using testing::TempDir;
using testing::write_text;

// A file as the version before routing rules wrote it.
const char* const OLDER_FILE = R"({
    "proxy_type": "socks5",
    "proxy_host": "",
    "proxy_port": 0,
    "proxy_list": [{"type": "http", "host": "203.0.113.5", "port": 3128, "username": "u", "password": "p"}],
    "api_use": false,
    "process_list": ["chrome.exe", "curl"],
    "enabled": true
})";

class RouteRulesSettingsTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::filesystem::path file = dir / "config.json";
};

TEST_F(RouteRulesSettingsTest, OlderFileLoadsWithTheDefaultRulesAndNamesAtTheProxy) {
  write_text(file, OLDER_FILE);
  SettingsStore store(file);
  EXPECT_EQ(rules_from_json(store.route_rules()), default_route_rules());
  EXPECT_EQ(store.resolve_names_at_proxy(), true);
  EXPECT_EQ(store.process_list(), Json::parse(R"(["chrome.exe", "curl"])"));
  EXPECT_EQ(store.route_rules_problem(), "");
  EXPECT_EQ(read_text(file), OLDER_FILE) << "loading alone does not rewrite the file";

  store.set_enabled(false);
  const Json written = Json::parse(read_text(file));
  EXPECT_EQ(written[ROUTE_RULES_KEY], rules_to_json(default_route_rules()));
  EXPECT_EQ(written[RESOLVE_NAMES_AT_PROXY_KEY], true);
  EXPECT_EQ(written["proxy_list"][0]["host"], "203.0.113.5");
}

TEST_F(RouteRulesSettingsTest, StoredRulesAndSwitchSurviveALoad) {
  const Json rules = Json::parse(R"([
    {"note": "", "programs": ["game.exe"], "names": [], "networks": [], "ports": "", "action": "direct"},
    {"note": "", "programs": [], "names": [".example.com"], "networks": [], "ports": "", "action": "proxy", "proxy": 1}
  ])");
  {
    SettingsStore store(file);
    store.set_route_rules(rules);
    store.set_resolve_names_at_proxy(false);
  }
  SettingsStore again(file);
  EXPECT_EQ(again.route_rules(), rules);
  EXPECT_EQ(again.resolve_names_at_proxy(), false);
}

// An unknown action (or any rule the engine cannot follow) is an error naming the rule; the
// file is kept beside, the rules fall back to the defaults, every other setting stays.
TEST_F(RouteRulesSettingsTest, UnknownActionIsAnErrorAndTheFileIsKept) {
  LogCapture log(LOGGER_SETTINGS);
  const std::string text = R"({"proxy_list": [{"type": "socks5", "host": "198.51.100.1", "port": 1080}],
    "process_list": ["game.exe"],
    "route_rules": [{"ports": "80", "action": "direct"}, {"programs": ["x.exe"], "action": "teleport"}]})";
  write_text(file, text);
  SettingsStore store(file);

  EXPECT_EQ(read_text(dir / "config.json.bad"), text);
  const std::string problem = store.route_rules_problem();
  EXPECT_NE(problem.find("规则 2: 未知的动作 \"teleport\""), std::string::npos) << problem;
  EXPECT_NE(problem.find((dir / "config.json.bad").string()), std::string::npos) << problem;
  EXPECT_TRUE(log.contains(spdlog::level::err, problem));

  EXPECT_EQ(rules_from_json(store.route_rules()), default_route_rules());
  EXPECT_EQ(store.process_list(), Json::parse(R"(["game.exe"])"));
  const Json written = Json::parse(read_text(file));
  EXPECT_EQ(written["proxy_list"][0]["host"], "198.51.100.1");
  EXPECT_EQ(written[ROUTE_RULES_KEY], rules_to_json(default_route_rules()));

  // A good file afterwards loads without a problem.
  store.load();
  EXPECT_EQ(store.route_rules_problem(), "");
}

}  // namespace
}  // namespace tovix
