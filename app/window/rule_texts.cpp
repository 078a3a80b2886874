#include "app/window/rule_texts.h"

#include "common/json_values.h"

namespace tovix::app {
namespace {

QString joined(const std::vector<std::string>& items) {
  QStringList texts;
  for (const std::string& item : items) texts << QString::fromStdString(item);
  return texts.join(QStringLiteral(", "));
}

}  // namespace

QString action_text(const RuleAction& action, const nlohmann::ordered_json& proxy_list) {
  switch (action.kind) {
    case RuleActionKind::direct:
      return QStringLiteral("直连");
    case RuleActionKind::block:
      return QStringLiteral("阻止 (立即断开)");
    case RuleActionKind::round_robin:
      return QStringLiteral("轮流使用全部代理");
    case RuleActionKind::proxy:
      break;
  }
  const QString number = QStringLiteral("代理 %1").arg(action.proxy_index + 1);
  if (!proxy_list.is_array() || action.proxy_index >= proxy_list.size()) {
    return number + QStringLiteral(" (列表中已没有)");
  }
  const auto& entry = proxy_list[action.proxy_index];
  const auto field = [&](const char* key) {
    return entry.is_object() && entry.contains(key) ? QString::fromStdString(text_of(entry[key])) : QString();
  };
  return number + QStringLiteral(" (%1:%2)").arg(field("host"), field("port"));
}

QString conditions_text(const RouteRule& rule) {
  QStringList parts;
  // Short conditions first: a long list of networks is what the column cuts.
  if (!rule.programs.empty()) parts << QStringLiteral("程序 ") + joined(rule.programs);
  if (!rule.ports.empty()) parts << QStringLiteral("端口 ") + QString::fromStdString(port_ranges_text(rule.ports));
  if (!rule.names.empty()) parts << QStringLiteral("域名 ") + joined(rule.names);
  if (!rule.networks.empty()) {
    std::vector<std::string> networks;
    for (const IpNetwork& network : rule.networks) networks.push_back(ip_network_text(network));
    parts << QStringLiteral("地址 ") + joined(networks);
  }
  return parts.join(QStringLiteral(" · "));
}

std::vector<ActionChoice> action_choices(const nlohmann::ordered_json& proxy_list, const RuleAction& current) {
  std::vector<ActionChoice> choices;
  const std::size_t proxies = proxy_list.is_array() ? proxy_list.size() : 0;
  choices.push_back({action_text({RuleActionKind::round_robin, 0}, proxy_list), {RuleActionKind::round_robin, 0}});
  for (std::size_t i = 0; i < proxies; ++i) {
    choices.push_back({action_text({RuleActionKind::proxy, i}, proxy_list), {RuleActionKind::proxy, i}});
  }
  if (current.kind == RuleActionKind::proxy && current.proxy_index >= proxies) {
    choices.push_back({action_text(current, proxy_list), current});
  }
  choices.push_back({action_text({RuleActionKind::direct, 0}, proxy_list), {RuleActionKind::direct, 0}});
  choices.push_back({action_text({RuleActionKind::block, 0}, proxy_list), {RuleActionKind::block, 0}});
  return choices;
}

}  // namespace tovix::app
