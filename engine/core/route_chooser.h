#pragma once
// Which way each relayed connection leaves, by the user's routing rules: the program that opened
// it, the host name the relay read from its first bytes, its destination address and port. The
// rules, the proxy list and the switch for names at the proxy are replaced whole on a change, so
// a relay's choice never waits for an update.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/core/tunnel_core_export.h"
#include "engine/relay/upstream_choice.h"
#include "engine/rules/rule_matcher.h"

namespace tovix {

class TUNNEL_CORE_EXPORT RouteChooser {
 public:
  // The image name of the program behind a relay's NAT key, when it can be told. Called on the
  // relays' loop threads, only while a rule names programs; it must not block for long.
  using ProgramOf = std::function<std::optional<std::string>(int nat_key)>;

  explicit RouteChooser(ProgramOf program_of);

  // Rules ("route_rules") and the name switch ("resolve_names_at_proxy", on when absent) of a
  // settings record; the proxy list stays. A record without rules has none (the settings store
  // gives a file from before them the default ones); rules that cannot be followed give way to
  // the default ones (the text says which rule and why; empty when the rules are taken).
  std::string configure(const nlohmann::ordered_json& settings);
  // After a hot update: "proxy" actions count positions in this list.
  void set_proxy_list(nlohmann::ordered_json proxy_list);

  UpstreamChoice choose(const ConnectionRequest& request) const;
  // The chooser the relays are given; it holds this object, which must outlive the relays.
  UpstreamChooser hook() const;

 private:
  struct Plan {
    RuleMatcher matcher{{}};
    nlohmann::ordered_json proxies = nlohmann::ordered_json::array();
    bool names_to_proxy = true;
    bool needs_program = false;  // a rule names programs: the program is looked up
  };
  std::shared_ptr<const Plan> _current() const;
  void _publish(std::shared_ptr<const Plan> plan);

  const ProgramOf _program_of;
  mutable std::mutex _lock;
  std::shared_ptr<const Plan> _plan;
};

// "规则 N" with the rule's note, as the connections list shows the rule that matched.
TUNNEL_CORE_EXPORT std::string rule_label(std::size_t rule_index, const RouteRule& rule);

}  // namespace tovix
