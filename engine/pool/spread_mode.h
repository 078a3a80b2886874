#pragma once
// How connections are spread over the proxy list, as the settings record stores it, and the
// engine's status text for it.
//
// Stored as two booleans so that an engine that knows only "pid_mode" still does the nearest
// thing: "pid_mode" true is one proxy per program; "per_connection_mode" true (with "pid_mode"
// false) is round robin per connection; both false (or absent, as in older files) is the first
// proxy that is up.
#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/pool/proxy_pool_export.h"

namespace tovix::pool {

enum class SpreadMode { first_available, per_program, per_connection };

inline constexpr const char* PID_MODE_KEY = "pid_mode";
inline constexpr const char* PER_CONNECTION_MODE_KEY = "per_connection_mode";

// A record that says "pid_mode" true is per_program whatever the other key says.
PROXY_POOL_EXPORT SpreadMode spread_mode_of(const nlohmann::ordered_json& settings);
// Writes both keys.
PROXY_POOL_EXPORT void store_spread_mode(nlohmann::ordered_json& settings, SpreadMode mode);

// The user's name of a mode ("首个可用代理", ...).
PROXY_POOL_EXPORT std::string spread_mode_name(SpreadMode mode);

// The status detail of the global mode (no program chosen): "全局代理 | 2IP轮询 | 中继:p1,p2"
// while connections or programs take the proxies in turn; in first_available mode with more
// than one proxy it says that the first proxy that is up takes every connection.
PROXY_POOL_EXPORT std::string global_status_detail(SpreadMode mode, std::size_t proxy_count,
                                                   const std::string& relay_ports);

// The status when every proxy is down: connections fail, none goes out directly.
inline constexpr const char* STATUS_ALL_PROXIES_DOWN = "全部代理不可用：新连接将失败（不会直连），每 30 秒重新检测";

}  // namespace tovix::pool
