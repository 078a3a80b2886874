// The way the engine's relays send each connection, by the routing rules of the settings.
#include <gtest/gtest.h>

#include <map>

#include "engine/core/route_chooser.h"
#include "engine/rules/rule_json.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;
using Way = UpstreamChoice::Way;

Json proxy(int port) { return Json{{"type", "socks5"}, {"host", "198.51.100.7"}, {"port", port}}; }

class RouteChooserTest : public ::testing::Test {
 protected:
  RouteChooserTest()
      : chooser([this](int nat_key) -> std::optional<std::string> {
          ++program_lookups;
          auto it = programs.find(nat_key);
          if (it == programs.end()) return std::nullopt;
          return it->second;
        }) {}

  // The user's rules, then the default ones, as the settings store keeps them.
  Json settings(bool names_to_proxy = true) {
    Json rules = Json::parse(R"([
      {"note": "游戏直连", "programs": ["game.exe"], "action": "direct"},
      {"names": [".blocked.example"], "action": "block"},
      {"programs": ["browser*"], "names": ["pinned.example"], "action": "proxy", "proxy": 1},
      {"networks": ["203.0.113.0/24"], "ports": "8000-8100", "action": "proxy", "proxy": 5}
    ])");
    for (const Json& rule : rules_to_json(default_route_rules())) rules.push_back(rule);
    return Json{{ROUTE_RULES_KEY, rules}, {RESOLVE_NAMES_AT_PROXY_KEY, names_to_proxy}};
  }

  UpstreamChoice choose(int nat_key, const std::string& dst_ip, int dst_port,
                        std::optional<std::string> name = std::nullopt) {
    return chooser.choose(ConnectionRequest{nat_key, "10.0.0.5", dst_ip, dst_port, std::move(name)});
  }

  std::map<int, std::string> programs{{1, "Game.EXE"}, {2, "browser.exe"}, {3, "other.exe"}};
  int program_lookups = 0;
  RouteChooser chooser;
};

TEST_F(RouteChooserTest, FirstMatchingRuleDecidesEachConnectionsWay) {
  ASSERT_EQ(chooser.configure(settings()), "");
  chooser.set_proxy_list(Json::array({proxy(1080), proxy(1081)}));
  struct Case {
    const char* what;
    int nat_key;
    const char* dst_ip;
    int dst_port;
    std::optional<std::string> name;
    Way way;
    std::string reason;
    bool settled;  // no rule before the deciding one asks for names
  };
  const std::vector<Case> cases{
      {"a program rule, in any letter case and with .exe", 1, "93.184.216.34", 443, std::nullopt, Way::direct,
       "规则 1：游戏直连", true},
      {"a name suffix blocks", 3, "93.184.216.34", 443, "www.blocked.example", Way::block, "规则 2", true},
      {"the suffix's own name", 3, "93.184.216.34", 443, "blocked.example", Way::block, "规则 2", true},
      {"program and name pin a proxy", 2, "93.184.216.34", 443, "pinned.example", Way::other_proxy, "规则 3", false},
      {"the pinned name for another program", 3, "93.184.216.34", 443, "pinned.example", Way::relay_proxy, "", false},
      {"no name read: by address only", 2, "93.184.216.34", 443, std::nullopt, Way::relay_proxy, "", false},
      {"a proxy position beyond the list takes the proxies in turn", 3, "203.0.113.9", 8050, std::nullopt,
       Way::relay_proxy, "规则 4", false},
      {"a port outside the range", 3, "203.0.113.9", 443, std::nullopt, Way::relay_proxy, "", false},
      {"the LAN goes direct", 3, "192.168.1.20", 631, std::nullopt, Way::direct, "规则 5", false},
      {"a LAN DNS server stays with the proxy", 3, "192.168.1.1", 53, std::nullopt, Way::relay_proxy, "", false},
      {"loopback goes direct", 3, "127.0.0.1", 8080, std::nullopt, Way::direct, "规则 5", false},
      {"an unknown program matches no program rule", 9, "93.184.216.34", 443, std::nullopt, Way::relay_proxy, "",
       false},
  };
  for (const Case& one : cases) {
    SCOPED_TRACE(one.what);
    const UpstreamChoice choice = choose(one.nat_key, one.dst_ip, one.dst_port, one.name);
    EXPECT_EQ(choice.way, one.way);
    EXPECT_TRUE(choice.reason.starts_with(one.reason)) << choice.reason;
    EXPECT_EQ(choice.reason.empty(), one.reason.empty()) << choice.reason;
    if (one.way == Way::other_proxy) {
      EXPECT_EQ(choice.proxy, proxy(1081));
    }
    EXPECT_TRUE(choice.name_to_proxy);
    EXPECT_EQ(choice.settled, one.settled);
  }
}

TEST_F(RouteChooserTest, UpdatesReplaceRulesSwitchAndProxyListForLaterConnections) {
  chooser.configure(settings());
  chooser.set_proxy_list(Json::array({proxy(1080), proxy(1081)}));
  EXPECT_EQ(choose(2, "93.184.216.34", 443, "pinned.example").proxy, proxy(1081));

  // A hot update shrinks the list: the pinned connection still goes through a proxy.
  chooser.set_proxy_list(Json::array({proxy(1080)}));
  EXPECT_EQ(choose(2, "93.184.216.34", 443, "pinned.example").way, Way::relay_proxy);

  // The switch goes off; the rules and the list stay.
  chooser.configure(settings(false));
  EXPECT_FALSE(choose(3, "93.184.216.34", 443, "example.com").name_to_proxy);
  EXPECT_EQ(choose(1, "93.184.216.34", 443).way, Way::direct);

  // New rules: the game's rule is gone.
  chooser.configure(Json{{ROUTE_RULES_KEY, Json::parse(R"([{"ports": "443", "action": "block"}])")}});
  EXPECT_EQ(choose(1, "93.184.216.34", 443).way, Way::block);
  EXPECT_TRUE(choose(1, "93.184.216.34", 443).name_to_proxy) << "on when the record does not say";
}

TEST_F(RouteChooserTest, RulesThatCannotBeFollowedGiveWayToTheDefaults) {
  const std::string problem =
      chooser.configure(Json{{ROUTE_RULES_KEY, Json::parse(R"([{"ports": "80", "action": "teleport"}])")}});
  EXPECT_FALSE(problem.empty());
  EXPECT_EQ(choose(3, "10.1.2.3", 80).way, Way::direct) << "the default LAN rule";
  EXPECT_TRUE(choose(3, "10.1.2.3", 80).settled) << "no rule asks for names";
  EXPECT_EQ(choose(3, "93.184.216.34", 80).way, Way::relay_proxy);

  // A record without rules (the engine's tests, a caller of its own) has none.
  EXPECT_EQ(chooser.configure(Json::object()), "");
  EXPECT_EQ(choose(3, "10.1.2.3", 80).way, Way::relay_proxy);
}

// Telling a connection's program can mean listing the system's connections; that cost is only
// paid while some rule names programs.
TEST_F(RouteChooserTest, TheProgramIsLookedUpOnlyWhileARuleNamesPrograms) {
  chooser.configure(Json{{ROUTE_RULES_KEY, rules_to_json(default_route_rules())}});
  choose(1, "93.184.216.34", 443);
  EXPECT_EQ(program_lookups, 0);
  chooser.configure(settings());
  EXPECT_EQ(choose(1, "93.184.216.34", 443).way, Way::direct);
  EXPECT_EQ(program_lookups, 1);
}

}  // namespace
}  // namespace tovix
