// Which rule a connection falls under, as a table of connections against one list of rules.
#include <gtest/gtest.h>

#include <vector>

#include "engine/rules/rule_json.h"
#include "engine/rules/rule_matcher.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;

ConnectionFacts facts(std::optional<std::string> program, std::optional<std::string> name, const std::string& address,
                      int port) {
  return {std::move(program), std::move(name), *IpAddress::parse(address), port};
}

// Rule numbers below are positions in this list.
const char* const RULES = R"([
  {"programs": ["blocked*"], "action": "block"},
  {"programs": ["game.exe"], "ports": "27000-27100,3478", "action": "direct"},
  {"names": [".video.example"], "networks": ["198.51.100.0/24"], "action": "proxy", "proxy": 1},
  {"names": ["exact.example"], "action": "proxy", "proxy": 0},
  {"networks": ["2001:db8::/32", "203.0.113.9"], "action": "block"},
  {"programs": ["*Browser*"], "names": [".shop.example"], "ports": "443", "action": "round_robin"},
  {"ports": "25", "action": "block"}
])";

struct Case {
  const char* label;
  ConnectionFacts connection;
  std::optional<std::size_t> rule;
};

TEST(RuleMatcher, FirstMatchingRuleDecides) {
  const RuleMatcher matcher(rules_from_json(Json::parse(RULES)));
  const std::vector<Case> cases{
      {"program pattern, any destination", facts("blocked-app.exe", std::nullopt, "192.0.2.1", 80), 0},
      {"program pattern without .exe", facts("blockedtool", "exact.example", "192.0.2.1", 80), 0},
      {"earlier rule wins over a later one", facts("BLOCKED.EXE", "a.video.example", "198.51.100.5", 443), 0},
      {"program and port range", facts("Game.exe", std::nullopt, "192.0.2.1", 27050), 1},
      {"program and port list", facts("game", std::nullopt, "192.0.2.1", 3478), 1},
      {"program but another port", facts("game.exe", std::nullopt, "192.0.2.1", 443), std::nullopt},
      {"suffix name", facts("x.exe", "cdn.video.example", "192.0.2.1", 443), 2},
      {"suffix rule covers the bare domain", facts("x.exe", "video.example", "192.0.2.1", 443), 2},
      {"suffix is by labels", facts("x.exe", "novideo.example", "192.0.2.1", 443), std::nullopt},
      {"name unknown: matched by address", facts("x.exe", std::nullopt, "198.51.100.77", 443), 2},
      {"name known but another: the address still counts", facts("x.exe", "other.example", "198.51.100.77", 443), 2},
      {"names compared without case", facts("x.exe", "EXACT.Example.", "192.0.2.1", 443), 3},
      {"exact name only", facts("x.exe", "sub.exact.example", "192.0.2.1", 443), std::nullopt},
      {"IPv6 network", facts("x.exe", std::nullopt, "2001:db8:1::5", 443), 4},
      {"single address", facts(std::nullopt, std::nullopt, "203.0.113.9", 80), 4},
      {"next address", facts(std::nullopt, std::nullopt, "203.0.113.10", 80), std::nullopt},
      {"every condition of a rule", facts("MyBrowser.exe", "www.shop.example", "192.0.2.1", 443), 5},
      {"one condition missing", facts("MyBrowser.exe", "www.shop.example", "192.0.2.1", 80), std::nullopt},
      {"program rule with the program unknown", facts(std::nullopt, "www.shop.example", "192.0.2.1", 443),
       std::nullopt},
      {"port only", facts(std::nullopt, std::nullopt, "192.0.2.1", 25), 6},
      {"nothing matches", facts("x.exe", "free.example", "192.0.2.1", 8080), std::nullopt},
  };
  for (const Case& c : cases) {
    const auto match = matcher.match(c.connection);
    ASSERT_EQ(match.has_value(), c.rule.has_value()) << c.label;
    if (match) {
      EXPECT_EQ(match->rule_index, *c.rule) << c.label;
      EXPECT_EQ(match->action, matcher.rules()[*c.rule].action) << c.label;
    }
  }
}

TEST(RuleMatcher, DefaultRulesKeepTheLocalNetworkDirectButNotItsDns) {
  const RuleMatcher matcher(default_route_rules());
  const RuleAction direct{RuleActionKind::direct, 0};
  for (const char* address : {"127.0.0.1", "::1", "169.254.10.1", "fe80::1", "10.1.2.3", "172.16.0.1", "172.31.255.255",
                              "192.168.1.10", "100.64.0.1", "100.127.255.254", "fd12::1", "::ffff:192.168.1.10"}) {
    const auto match = matcher.match(facts("nas-client.exe", std::nullopt, address, 445));
    ASSERT_TRUE(match) << address;
    EXPECT_EQ(match->action, direct) << address;
    EXPECT_FALSE(matcher.match(facts("nas-client.exe", std::nullopt, address, 53))) << address << " DNS";
  }
  for (const char* address : {"8.8.8.8", "172.32.0.1", "100.128.0.1", "192.169.0.1", "2001:4860::8888", "fe00::1"}) {
    EXPECT_FALSE(matcher.match(facts("x.exe", std::nullopt, address, 443))) << address;
  }
}

}  // namespace
}  // namespace tovix
