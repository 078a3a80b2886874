#pragma once
// The user's texts of the proxy pool: the table cells of a proxy's health and usage, and the
// status lines of health events.
#include <chrono>
#include <optional>
#include <string>

#include "engine/pool/proxy_health.h"
#include "engine/pool/proxy_pool_export.h"
#include "engine/pool/usage_store.h"

namespace tovix::pool {

struct HealthText {
  std::string state;   // "正常", "正常 · 连续失败 2 次", "不可用 · 14:03:12 起", ...
  std::string reason;  // why a down proxy is down, cut to a cell's length; empty while up
  std::string detail;  // the tooltip: everything, the whole reason included
  bool down = false;
};

// `now` decides whether the date is shown beside the time of day (not on the same day).
PROXY_POOL_EXPORT HealthText health_text(const std::optional<ProxyHealthView>& health,
                                         std::chrono::system_clock::time_point now);
// "↑1.5 KB ↓20.3 MB · 12 连接"
PROXY_POOL_EXPORT std::string usage_text(const UsageCounters& usage);

// "代理 host:port 连接失败: reason" (the first failure of an episode), "代理 host:port 已停用…"
// (down), "代理 host:port 已恢复", or STATUS_ALL_PROXIES_DOWN.
PROXY_POOL_EXPORT std::string event_text(const HealthEvent& event);
// "代理 host:port 连接失败: reason", the handler's own naming of the proxy left out of `error`.
PROXY_POOL_EXPORT std::string failure_notice(const std::string& host, int port, const std::string& error);

}  // namespace tovix::pool
