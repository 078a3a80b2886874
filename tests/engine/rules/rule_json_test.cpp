// Rule conditions read from what a user types, and rules read from and written to the
// settings file, with the errors a broken file gives.
#include <gtest/gtest.h>

#include <vector>

#include "engine/rules/rule_json.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;

TEST(RuleConditions, NetworksAsTyped) {
  const std::vector<std::pair<const char*, const char*>> good{
      {"10.0.0.0/8", "10.0.0.0/8"},     {" 10.1.2.3/8 ", "10.0.0.0/8"},
      {"192.168.1.7", "192.168.1.7"},   {"192.168.1.7/32", "192.168.1.7"},
      {"0.0.0.0/0", "0.0.0.0/0"},       {"fc00::/7", "fc00::/7"},
      {"FD00:0:0::1/64", "fd00::/64"},  {"::1", "::1"},
      {"2001:db8::/128", "2001:db8::"},
  };
  for (const auto& [typed, stored] : good) {
    const auto network = parse_ip_network(typed);
    ASSERT_TRUE(network) << typed;
    EXPECT_EQ(ip_network_text(*network), stored) << typed;
  }
  for (const char* bad : {"", "10.0.0.0/33", "10.0.0.0/", "10.0.0/8", "256.0.0.0/8", "10.0.0.0/-1", "10.0.0.0/8/8",
                          "fc00::/129", "example.com", "10.0.0.0 /8", "10.0.0.0/8x", "[::1]", "fe80::1%eth0"}) {
    EXPECT_FALSE(parse_ip_network(bad)) << bad;
  }
}

TEST(RuleConditions, PortListsAsTyped) {
  const std::vector<std::pair<const char*, std::vector<PortRange>>> good{
      {"", {}},
      {"  ", {}},
      {"443", {{443, 443}}},
      {"80, 443 ,8000-8100", {{80, 80}, {443, 443}, {8000, 8100}}},
      {"1-65535", {{1, 65535}}},
      {"53-53", {{53, 53}}},
  };
  for (const auto& [typed, ranges] : good) {
    const auto parsed = parse_port_ranges(typed);
    ASSERT_TRUE(parsed) << typed;
    EXPECT_EQ(*parsed, ranges) << typed;
  }
  EXPECT_EQ(port_ranges_text(*parse_port_ranges(" 80 ,1000-2000")), "80,1000-2000");
  for (const char* bad : {"0", "65536", "100-99", "80,", ",80", "80,,443", "a", "80-", "-80", "1-2-3", "+80", "8 0",
                          "99999999999999999999"}) {
    EXPECT_FALSE(parse_port_ranges(bad)) << bad;
  }
}

TEST(RuleConditions, NamesAndProgramsAsTyped) {
  EXPECT_EQ(parse_name_pattern(" Example.COM "), "example.com");
  EXPECT_EQ(parse_name_pattern(".example.com"), ".example.com");
  EXPECT_EQ(parse_name_pattern("*.example.com"), ".example.com");
  for (const char* bad : {"", ".", "*.", "*example.com", "ex ample.com", "例子.com", "..example.com", "10.0.0.1"}) {
    EXPECT_FALSE(parse_name_pattern(bad)) << bad;
  }
  EXPECT_EQ(parse_program_pattern(" Some App.exe "), "Some App.exe");
  for (const char* bad : {"", "  ", "C:\\bin\\app.exe", "/usr/bin/curl", "tab\there"}) {
    EXPECT_FALSE(parse_program_pattern(bad)) << bad;
  }
  EXPECT_EQ(split_list("a.exe, b.exe，c.exe\n\n d.exe ,"),
            (std::vector<std::string>{"a.exe", "b.exe", "c.exe", "d.exe"}));
}

TEST(RuleJson, StoredFormReadsBackUnchanged) {
  const Json stored = Json::parse(R"([
    {"note": "游戏直连", "programs": ["game.exe", "*launcher*"], "names": [], "networks": [], "ports": "27000-27100",
     "action": "direct"},
    {"note": "", "programs": [], "names": [".example.com"], "networks": ["2001:db8::/32"], "ports": "",
     "action": "proxy", "proxy": 2},
    {"note": "", "programs": [], "names": [], "networks": ["203.0.113.0/24"], "ports": "", "action": "block"}
  ])");
  EXPECT_EQ(rules_to_json(rules_from_json(stored)), stored);
  EXPECT_EQ(rules_from_json(rules_to_json(default_route_rules())), default_route_rules());

  // Hand-written files may leave keys out and give single values or numbers.
  const auto terse = rules_from_json(Json::parse(R"([{"names": "A.Example", "ports": 443, "action": "round_robin"}])"));
  ASSERT_EQ(terse.size(), 1u);
  EXPECT_EQ(terse[0].names, std::vector<std::string>{"a.example"});
  EXPECT_EQ(terse[0].ports, (std::vector<PortRange>{{443, 443}}));
}

TEST(RuleJson, BrokenRulesNameTheRuleAndTheProblem) {
  const std::vector<std::pair<const char*, const char*>> cases{
      {R"({"route": []})", "分流规则必须是一个列表"},
      {R"([{"ports": "80", "action": "direct"}, {"ports": "80", "action": "reject"}])",
       "规则 2: 未知的动作 \"reject\""},
      {R"([{"ports": "80", "action": 3}])", "规则 1: 未知的动作 \"3\""},
      {R"([{"ports": "80"}])", "规则 1: 缺少动作 (action)"},
      {R"([{"ports": "80", "action": "proxy"}])", "规则 1: 动作 proxy 需要代理序号 (proxy, 从 0 数起)"},
      {R"([{"ports": "80", "action": "proxy", "proxy": -1}])", "规则 1: 动作 proxy 需要代理序号 (proxy, 从 0 数起)"},
      {R"([{"ports": "80", "action": "proxy", "proxy": "1"}])", "规则 1: 动作 proxy 需要代理序号 (proxy, 从 0 数起)"},
      {R"([{"action": "direct"}])", "规则 1: 没有任何条件 (程序、域名、地址或端口至少填一项)"},
      {R"([{"networks": ["10.0.0.0/33"], "action": "direct"}])", "规则 1: 无效的地址或网段 \"10.0.0.0/33\""},
      {R"([{"ports": "70000", "action": "direct"}])",
       "规则 1: 无效的端口 \"70000\" (端口为 1 到 65535, 范围写作 8000-8100)"},
      {R"([{"names": ["bad name"], "action": "direct"}])", "规则 1: 无效的域名 \"bad name\""},
      {R"([{"programs": ["C:\\x.exe"], "action": "direct"}])", "规则 1: 无效的程序名 \"C:\\x.exe\""},
      {R"([{"programs": [{"a": 1}], "action": "direct"}])", "规则 1: programs 只能是文字列表"},
      {R"(["direct"])", "规则 1: 不是 JSON 对象"},
  };
  for (const auto& [text, message] : cases) {
    try {
      rules_from_json(Json::parse(text));
      ADD_FAILURE() << "accepted: " << text;
    } catch (const RuleError& error) {
      EXPECT_EQ(std::string(error.what()), message) << text;
    }
  }
}

}  // namespace
}  // namespace tovix
