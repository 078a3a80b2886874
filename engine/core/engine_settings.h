#pragma once
// Reading the settings record the engine is handed, and the addresses it never diverts: the API
// host's and each upstream proxy's on that proxy's port. Missing or mistyped keys read as their
// defaults; nothing here throws on a bad record.
#include <cstdint>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/core/tunnel_core_export.h"

namespace spdlog {
class logger;
}

namespace tovix::engine_settings {

using Json = nlohmann::ordered_json;

// The array under `key`; an empty array when absent or not an array.
TUNNEL_CORE_EXPORT const Json& list_setting(const Json& record, const char* key);
// The text under `key`; empty when absent or not a text.
TUNNEL_CORE_EXPORT std::string text_setting(const Json& record, const char* key);
// Whether the value under `key` counts as set (true, a non-zero number, a non-empty text or container).
TUNNEL_CORE_EXPORT bool truthy(const Json& record, const char* key);
// The integer under `key` (a number or a decimal text); 0 otherwise.
TUNNEL_CORE_EXPORT std::int64_t integer_setting(const Json& record, const char* key);
// A ProxyEntry's "port" as a TCP port; 0 when absent or not a port.
TUNNEL_CORE_EXPORT int proxy_port_of(const Json& entry);
// The port the relay uses for an entry, as shown to the user: its "port", 1080 when absent.
TUNNEL_CORE_EXPORT int relay_proxy_port(const Json& entry);

// The IPv4 addresses of a host; throws when it has none.
TUNNEL_CORE_EXPORT std::set<std::string> resolve_all(const std::string& host);
// The addresses of every proxy host of the list; a host that does not resolve is skipped, and
// logged as a warning when `log` is given.
TUNNEL_CORE_EXPORT std::set<std::string> resolve_proxy_hosts(const Json& proxy_list, spdlog::logger* log);

// What the packet path passes without a look at its process. Immutable once built.
struct TUNNEL_CORE_EXPORT Exemptions {
  std::set<std::string> api_ip_texts;
  std::set<std::string> proxy_ip_texts;
  std::unordered_set<std::uint32_t> api_ips;
  std::unordered_set<std::uint32_t> proxy_ips;
  std::vector<int> proxy_ports;  // each ProxyEntry's port, those without one left out

  static Exemptions build(std::set<std::string> api_ips, std::set<std::string> proxy_ips, const Json& proxy_list);

  // A packet to or from the API host.
  bool is_api_traffic(std::uint32_t src, std::uint32_t dst) const;
  // A packet of a connection to an upstream proxy: to a proxy address on a proxy's port, or
  // back from one.
  bool is_proxy_traffic(std::uint32_t src, std::uint16_t src_port, std::uint32_t dst, std::uint16_t dst_port) const;
};

}  // namespace tovix::engine_settings
