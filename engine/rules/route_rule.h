#pragma once
// One routing rule: conditions on the connection and where a matching connection goes. A rule
// holds at least one condition; every kind of condition it holds must match (program, then the
// destination by name or address, then the port), and any one entry of a kind is enough.
#include <cstddef>
#include <string>
#include <vector>

#include "engine/rules/rule_conditions.h"

namespace tovix {

enum class RuleActionKind {
  proxy,        // one proxy of the list, by its position
  round_robin,  // the group of all proxies, taken in turn (what an unmatched connection gets)
  direct,       // not diverted: the connection goes out as the program opened it
  block,        // refused at once with a reset
};

struct RuleAction {
  RuleActionKind kind = RuleActionKind::round_robin;
  std::size_t proxy_index = 0;  // position in the proxy list, with RuleActionKind::proxy only
  bool operator==(const RuleAction&) const = default;
};

struct RouteRule {
  std::string note;                   // the user's own label, may be empty
  std::vector<std::string> programs;  // image-name patterns (parse_program_pattern)
  std::vector<std::string> names;     // destination-name patterns (parse_name_pattern)
  std::vector<IpNetwork> networks;    // destination addresses and networks
  std::vector<PortRange> ports;       // destination ports
  RuleAction action;

  bool has_condition() const { return !programs.empty() || !names.empty() || !networks.empty() || !ports.empty(); }
  bool operator==(const RouteRule&) const = default;
};

}  // namespace tovix
