#include "engine/pool/pool_texts.h"

#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

#include "common/text.h"
#include "engine/pool/spread_mode.h"

namespace tovix::pool {
namespace {

constexpr std::size_t MAX_CELL_REASON = 40;

std::tm local_time(std::chrono::system_clock::time_point at) {
  return fmt::localtime(std::chrono::system_clock::to_time_t(at));
}

// "14:03:12" on the day of `now`, "03-07 14:03" before it.
std::string moment(std::chrono::system_clock::time_point at, std::chrono::system_clock::time_point now) {
  const std::tm when = local_time(at), today = local_time(now);
  if (when.tm_year == today.tm_year && when.tm_yday == today.tm_yday) return fmt::format("{:%H:%M:%S}", when);
  return fmt::format("{:%m-%d %H:%M}", when);
}

}  // namespace

HealthText health_text(const std::optional<ProxyHealthView>& health, std::chrono::system_clock::time_point now) {
  if (!health) return {"—", "", "引擎未使用此代理", false};
  const ProxyHealthView& view = *health;
  const std::string reason = view.last_reason.empty()
                                 ? std::string()
                                 : failure_reason(view.last_reason, view.identity.host, view.identity.port);
  HealthText shown;
  if (view.state == ProxyState::down) {
    shown.down = true;
    shown.state = "不可用";
    if (view.since) shown.state += " · " + moment(*view.since, now) + " 起";
    shown.reason = to_valid_utf8(reason, MAX_CELL_REASON);
    if (shown.reason != reason) shown.reason += "…";
    shown.detail = shown.state + "\n原因: " + reason + "\n每 30 秒重新检测";
    return shown;
  }
  shown.state = "正常";
  if (view.consecutive_failures > 0) {
    shown.state += " · 连续失败 " + std::to_string(view.consecutive_failures) + " 次";
  } else if (view.since) {
    shown.state += " · " + moment(*view.since, now) + " 恢复";
  }
  shown.detail = shown.state;
  if (!reason.empty() && view.last_failure) {
    shown.detail += "\n上次失败 " + moment(*view.last_failure, now) + ": " + reason;
  }
  return shown;
}

std::string usage_text(const UsageCounters& usage) {
  return "↑" + format_bytes(usage.bytes_up) + " ↓" + format_bytes(usage.bytes_down) + " · " +
         std::to_string(usage.connections) + " 连接";
}

std::string failure_notice(const std::string& host, int port, const std::string& error) {
  return "代理 " + host + ":" + std::to_string(port) + " 连接失败: " + failure_reason(error, host, port);
}

std::string event_text(const HealthEvent& event) {
  const ProxyIdentity& proxy = event.proxy;
  switch (event.kind) {
    case HealthEventKind::first_failure:
      return failure_notice(proxy.host, proxy.port, event.reason);
    case HealthEventKind::marked_down:
      return "代理 " + proxy.address() + " 已停用: 连续 " + std::to_string(pool::FAILURES_TO_MARK_DOWN) +
             " 次连接失败 (" + failure_reason(event.reason, proxy.host, proxy.port) +
             ")，新连接改用其他代理，每 30 秒重新检测";
    case HealthEventKind::recovered:
      return "代理 " + proxy.address() + " 已恢复";
    case HealthEventKind::all_down:
      break;
  }
  return STATUS_ALL_PROXIES_DOWN;
}

}  // namespace tovix::pool
