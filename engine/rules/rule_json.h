#pragma once
// Routing rules as config.json keeps them, under ROUTE_RULES_KEY: an array of objects such as
//   {"note": "...", "programs": ["chrome.exe"], "names": [".example.com"],
//    "networks": ["10.0.0.0/8"], "ports": "80,443,8000-8100", "action": "proxy", "proxy": 1}
// "action" is "proxy" (with "proxy", the position in proxy_list from 0), "round_robin",
// "direct" or "block"; the condition keys may be left out.
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/rules/route_rule.h"
#include "engine/rules/route_rules_export.h"

namespace tovix {

inline constexpr const char* ROUTE_RULES_KEY = "route_rules";
// Whether the relay asks the proxy for a destination's name (read from the connection's first
// bytes) rather than for the address the user's own resolver gave. On by default.
inline constexpr const char* RESOLVE_NAMES_AT_PROXY_KEY = "resolve_names_at_proxy";

// What is wrong with stored rules, in words for the user: which rule (counted from 1) and why.
class ROUTE_RULES_EXPORT RuleError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

ROUTE_RULES_EXPORT const char* action_name(RuleActionKind kind);

// One rule; throws RuleError for an unknown action, a bad network, port list, name or program,
// a proxy position that is not a number, or a rule with no condition.
ROUTE_RULES_EXPORT RouteRule rule_from_json(const nlohmann::ordered_json& rule);
// Throws RuleError for anything but a list of valid rules, its text starting with the rule's
// number (from 1).
ROUTE_RULES_EXPORT std::vector<RouteRule> rules_from_json(const nlohmann::ordered_json& list);
ROUTE_RULES_EXPORT nlohmann::ordered_json rules_to_json(const std::vector<RouteRule>& rules);
ROUTE_RULES_EXPORT nlohmann::ordered_json rule_to_json(const RouteRule& rule);

// What a settings file without rules starts with: loopback, link-local and the private ranges
// go direct, except DNS (port 53), which stays with the program's proxy.
ROUTE_RULES_EXPORT std::vector<RouteRule> default_route_rules();

}  // namespace tovix
