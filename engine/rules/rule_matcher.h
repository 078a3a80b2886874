#pragma once
// Decides which rule a connection falls under: the first rule, in list order, whose conditions
// all hold. A connection whose destination name is known is matched by name and by address;
// one whose name is not known, by address only.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "common/host_address.h"
#include "engine/rules/route_rule.h"
#include "engine/rules/route_rules_export.h"

namespace tovix {

struct ConnectionFacts {
  std::optional<std::string> program;    // image name (chrome.exe); absent when not known
  std::optional<std::string> host_name;  // the destination's name, when read from its first bytes
  IpAddress address;                     // the destination address the program connected to
  int port = 0;                          // the destination port
};

struct RuleMatch {
  std::size_t rule_index = 0;  // position in the list, from 0
  RuleAction action;
};

class ROUTE_RULES_EXPORT RuleMatcher {
 public:
  explicit RuleMatcher(std::vector<RouteRule> rules);

  // Nothing when no rule matches: the connection then goes the default way (the proxies in
  // turn). Safe to call from several threads at once.
  std::optional<RuleMatch> match(const ConnectionFacts& facts) const;
  const std::vector<RouteRule>& rules() const { return _rules; }

 private:
  std::vector<RouteRule> _rules;
};

}  // namespace tovix
