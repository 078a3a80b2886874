#pragma once
// Routing rules as the window shows them: the action of a rule in words (with the proxy it
// names), its conditions in one line, and the choices of the action box.
#include <QString>
#include <QStringList>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/rules/route_rule.h"

namespace tovix::app {

// "直连", "阻止", "轮流使用全部代理", "代理 2 (203.0.113.5:3128)"; a position the list no
// longer has says so.
QString action_text(const RuleAction& action, const nlohmann::ordered_json& proxy_list);

// "程序 chrome.exe, *steam* · 端口 443 · 域名 .example.com · 地址 10.0.0.0/8".
QString conditions_text(const RouteRule& rule);

struct ActionChoice {
  QString text;
  RuleAction action;
};
// Every proxy of the list, the round robin, direct and block; `current` is kept as a choice
// even when the list no longer has its proxy.
std::vector<ActionChoice> action_choices(const nlohmann::ordered_json& proxy_list, const RuleAction& current);

}  // namespace tovix::app
