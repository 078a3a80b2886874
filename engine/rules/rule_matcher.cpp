#include "engine/rules/rule_matcher.h"

#include <algorithm>

namespace tovix {
namespace {

bool program_holds(const RouteRule& rule, const ConnectionFacts& facts) {
  if (rule.programs.empty()) return true;
  if (!facts.program) return false;
  return std::any_of(rule.programs.begin(), rule.programs.end(),
                     [&](const std::string& pattern) { return program_matches(pattern, *facts.program); });
}

bool destination_holds(const RouteRule& rule, const ConnectionFacts& facts, const std::optional<std::string>& name) {
  if (rule.names.empty() && rule.networks.empty()) return true;
  if (name && std::any_of(rule.names.begin(), rule.names.end(),
                          [&](const std::string& pattern) { return name_matches(pattern, *name); })) {
    return true;
  }
  return std::any_of(rule.networks.begin(), rule.networks.end(),
                     [&](const IpNetwork& network) { return network.contains(facts.address); });
}

bool port_holds(const RouteRule& rule, const ConnectionFacts& facts) {
  if (rule.ports.empty()) return true;
  return std::any_of(rule.ports.begin(), rule.ports.end(),
                     [&](const PortRange& range) { return range.contains(facts.port); });
}

}  // namespace

RuleMatcher::RuleMatcher(std::vector<RouteRule> rules) : _rules(std::move(rules)) {}

std::optional<RuleMatch> RuleMatcher::match(const ConnectionFacts& facts) const {
  const std::optional<std::string> name = facts.host_name ? normalize_host_name(*facts.host_name) : std::nullopt;
  for (std::size_t i = 0; i < _rules.size(); ++i) {
    const RouteRule& rule = _rules[i];
    // A rule without conditions never comes from stored settings; it matches nothing here.
    if (!rule.has_condition()) continue;
    if (program_holds(rule, facts) && destination_holds(rule, facts, name) && port_holds(rule, facts)) {
      return RuleMatch{i, rule.action};
    }
  }
  return std::nullopt;
}

}  // namespace tovix
