#include "engine/pool/spread_mode.h"

#include "common/json_values.h"

namespace tovix::pool {
namespace {

bool flag(const nlohmann::ordered_json& settings, const char* key) {
  if (!settings.is_object()) return false;
  const auto it = settings.find(key);
  return it != settings.end() && is_truthy(*it);
}

}  // namespace

SpreadMode spread_mode_of(const nlohmann::ordered_json& settings) {
  if (flag(settings, PID_MODE_KEY)) return SpreadMode::per_program;
  if (flag(settings, PER_CONNECTION_MODE_KEY)) return SpreadMode::per_connection;
  return SpreadMode::first_available;
}

void store_spread_mode(nlohmann::ordered_json& settings, SpreadMode mode) {
  settings[PID_MODE_KEY] = mode == SpreadMode::per_program;
  settings[PER_CONNECTION_MODE_KEY] = mode == SpreadMode::per_connection;
}

std::string spread_mode_name(SpreadMode mode) {
  switch (mode) {
    case SpreadMode::per_program:
      return "每个程序一个代理";
    case SpreadMode::per_connection:
      return "每个连接轮换代理";
    case SpreadMode::first_available:
      break;
  }
  return "只用首个可用代理";
}

std::string global_status_detail(SpreadMode mode, std::size_t proxy_count, const std::string& relay_ports) {
  const std::string count = std::to_string(proxy_count);
  std::string spreading = count + "IP轮询";
  if (mode == SpreadMode::first_available && proxy_count > 1) {
    spreading = "首个可用代理 (共" + count + "个，故障时换下一个)";
  }
  return "全局代理 | " + spreading + " | 中继:" + relay_ports;
}

}  // namespace tovix::pool
