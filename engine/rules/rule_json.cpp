#include "engine/rules/rule_json.h"

#include <optional>
#include <type_traits>

#include "common/json_values.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* NETWORKS_GOING_DIRECT[] = {
    "127.0.0.0/8",    "::1",           "169.254.0.0/16", "fe80::/10", "10.0.0.0/8", "172.16.0.0/12",
    "192.168.0.0/16", "100.64.0.0/10", "fc00::/7",
};

struct RuleReader {
  const Json& rule;

  [[noreturn]] void fail(const std::string& problem) const { throw RuleError(problem); }

  // The texts under `key`: absent and null are no entries, a single value is one entry.
  std::vector<std::string> texts(const char* key) const {
    std::vector<std::string> items;
    const auto it = rule.find(key);
    if (it == rule.end() || it->is_null()) return items;
    const Json list = it->is_array() ? *it : Json::array({*it});
    for (const Json& item : list) {
      if (!item.is_string() && !item.is_number_integer()) fail(std::string(key) + " 只能是文字列表");
      items.push_back(text_of(item));
    }
    return items;
  }

  template <typename Parse>
  auto parsed(const char* key, const char* what, Parse parse) const {
    std::vector<typename std::invoke_result_t<Parse, std::string>::value_type> values;
    for (const std::string& text : texts(key)) {
      auto value = parse(text);
      if (!value) fail(std::string("无效的") + what + " \"" + text + "\"");
      values.push_back(std::move(*value));
    }
    return values;
  }

  RuleAction action() const {
    const auto it = rule.find("action");
    const std::string name = it != rule.end() && it->is_string() ? it->get<std::string>() : std::string();
    if (name == "round_robin") return {RuleActionKind::round_robin, 0};
    if (name == "direct") return {RuleActionKind::direct, 0};
    if (name == "block") return {RuleActionKind::block, 0};
    if (name != "proxy") {
      fail(it == rule.end() ? std::string("缺少动作 (action)") : "未知的动作 \"" + text_of(*it) + "\"");
    }
    const auto index = rule.find("proxy");
    if (index == rule.end() || !index->is_number_integer() || index->get<std::int64_t>() < 0) {
      fail("动作 proxy 需要代理序号 (proxy, 从 0 数起)");
    }
    return {RuleActionKind::proxy, index->get<std::size_t>()};
  }

  RouteRule read() const {
    if (!rule.is_object()) fail("不是 JSON 对象");
    RouteRule result;
    if (const auto note = rule.find("note"); note != rule.end() && !note->is_null()) result.note = text_of(*note);
    result.programs = parsed("programs", "程序名", parse_program_pattern);
    result.names = parsed("names", "域名", parse_name_pattern);
    result.networks = parsed("networks", "地址或网段", parse_ip_network);
    std::string ports;
    for (const std::string& text : texts("ports")) ports += (ports.empty() ? "" : ",") + text;
    const auto ranges = parse_port_ranges(ports);
    if (!ranges) fail("无效的端口 \"" + ports + "\" (端口为 1 到 65535, 范围写作 8000-8100)");
    result.ports = *ranges;
    result.action = action();
    if (!result.has_condition()) fail("没有任何条件 (程序、域名、地址或端口至少填一项)");
    return result;
  }
};

template <typename Item, typename Text>
Json text_array(const std::vector<Item>& items, Text text) {
  Json list = Json::array();
  for (const Item& item : items) list.push_back(text(item));
  return list;
}

}  // namespace

const char* action_name(RuleActionKind kind) {
  switch (kind) {
    case RuleActionKind::proxy:
      return "proxy";
    case RuleActionKind::round_robin:
      return "round_robin";
    case RuleActionKind::direct:
      return "direct";
    case RuleActionKind::block:
      return "block";
  }
  return "round_robin";
}

RouteRule rule_from_json(const Json& rule) { return RuleReader{rule}.read(); }

std::vector<RouteRule> rules_from_json(const Json& list) {
  if (!list.is_array()) throw RuleError("分流规则必须是一个列表");
  std::vector<RouteRule> rules;
  for (std::size_t i = 0; i < list.size(); ++i) {
    try {
      rules.push_back(rule_from_json(list[i]));
    } catch (const RuleError& error) {
      throw RuleError("规则 " + std::to_string(i + 1) + ": " + error.what());
    }
  }
  return rules;
}

Json rule_to_json(const RouteRule& rule) {
  Json json = Json::object();
  json["note"] = rule.note;
  json["programs"] = text_array(rule.programs, [](const std::string& text) { return text; });
  json["names"] = text_array(rule.names, [](const std::string& text) { return text; });
  json["networks"] = text_array(rule.networks, ip_network_text);
  json["ports"] = port_ranges_text(rule.ports);
  json["action"] = action_name(rule.action.kind);
  if (rule.action.kind == RuleActionKind::proxy) json["proxy"] = rule.action.proxy_index;
  return json;
}

Json rules_to_json(const std::vector<RouteRule>& rules) { return text_array(rules, rule_to_json); }

std::vector<RouteRule> default_route_rules() {
  RouteRule local;
  local.note = "本机、链路本地与局域网直连 (DNS 除外)";
  for (const char* network : NETWORKS_GOING_DIRECT) local.networks.push_back(*parse_ip_network(network));
  local.ports = {{1, 52}, {54, 65535}};
  local.action = {RuleActionKind::direct, 0};
  return {local};
}

}  // namespace tovix
