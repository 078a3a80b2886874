#include "engine/core/route_chooser.h"

#include <algorithm>

#include "common/logging.h"
#include "engine/rules/rule_json.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;

std::vector<RouteRule> rules_of(const Json& settings, std::string& problem) {
  if (!settings.is_object() || !settings.contains(ROUTE_RULES_KEY)) return {};
  try {
    return rules_from_json(settings[ROUTE_RULES_KEY]);
  } catch (const RuleError& error) {
    problem = error.what();
    return default_route_rules();
  }
}

}  // namespace

std::string rule_label(std::size_t rule_index, const RouteRule& rule) {
  std::string label = "规则 " + std::to_string(rule_index + 1);
  if (!rule.note.empty()) label += "：" + rule.note;
  return label;
}

RouteChooser::RouteChooser(ProgramOf program_of)
    : _program_of(std::move(program_of)), _plan(std::make_shared<const Plan>()) {}

std::string RouteChooser::configure(const Json& settings) {
  std::string problem;
  auto plan = std::make_shared<Plan>(*_current());
  plan->matcher = RuleMatcher(rules_of(settings, problem));
  const auto& rules = plan->matcher.rules();
  plan->needs_program =
      std::any_of(rules.begin(), rules.end(), [](const RouteRule& rule) { return !rule.programs.empty(); });
  plan->names_to_proxy = true;
  if (settings.is_object()) {
    const Json& names = settings.value(RESOLVE_NAMES_AT_PROXY_KEY, Json(true));
    plan->names_to_proxy = !names.is_boolean() || names.get<bool>();
  }
  if (!problem.empty()) get_logger(LOGGER_ENGINE)->warn("路由规则无法使用，改用默认规则: {}", problem);
  _publish(std::move(plan));
  return problem;
}

void RouteChooser::set_proxy_list(Json proxy_list) {
  auto plan = std::make_shared<Plan>(*_current());
  plan->proxies = proxy_list.is_array() ? std::move(proxy_list) : Json::array();
  _publish(std::move(plan));
}

UpstreamChoice RouteChooser::choose(const ConnectionRequest& request) const {
  const std::shared_ptr<const Plan> plan = _current();
  UpstreamChoice choice = UpstreamChoice::relay_proxy();
  choice.name_to_proxy = plan->names_to_proxy;
  const std::optional<IpAddress> address = IpAddress::parse(request.dst_ip);
  if (!address) return choice;
  ConnectionFacts facts{plan->needs_program && _program_of ? _program_of(request.client_port) : std::nullopt,
                        request.host_name, *address, request.dst_port};
  const std::optional<RuleMatch> match = plan->matcher.match(facts);
  // A name only adds matches: the way stays unless a rule before this one asks for names.
  const auto& rules = plan->matcher.rules();
  const std::size_t deciding = match ? match->rule_index : rules.size();
  choice.settled = std::none_of(rules.begin(), rules.begin() + static_cast<std::ptrdiff_t>(deciding),
                                [](const RouteRule& rule) { return !rule.names.empty(); });
  if (!match) return choice;
  choice.reason = rule_label(match->rule_index, plan->matcher.rules()[match->rule_index]);
  switch (match->action.kind) {
    case RuleActionKind::proxy:
      // A position beyond a list that has since shrunk: the proxies in turn, never out directly.
      if (match->action.proxy_index < plan->proxies.size()) {
        choice.way = UpstreamChoice::Way::other_proxy;
        choice.proxy = plan->proxies[match->action.proxy_index];
      }
      break;
    case RuleActionKind::round_robin:
      break;
    case RuleActionKind::direct:
      choice.way = UpstreamChoice::Way::direct;
      break;
    case RuleActionKind::block:
      choice.way = UpstreamChoice::Way::block;
      break;
  }
  return choice;
}

UpstreamChooser RouteChooser::hook() const {
  return [this](const ConnectionRequest& request) { return choose(request); };
}

std::shared_ptr<const RouteChooser::Plan> RouteChooser::_current() const {
  std::lock_guard guard(_lock);
  return _plan;
}

void RouteChooser::_publish(std::shared_ptr<const Plan> plan) {
  std::lock_guard guard(_lock);
  _plan = std::move(plan);
}

}  // namespace tovix
