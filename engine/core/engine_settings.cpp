#include "engine/core/engine_settings.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "common/socket.h"
#include "engine/divert/packet.h"

namespace tovix::engine_settings {
namespace {

const Json* find(const Json& record, const char* key) {
  if (!record.is_object()) return nullptr;
  auto it = record.find(key);
  return it == record.end() ? nullptr : &*it;
}

std::unordered_set<std::uint32_t> to_addresses(const std::set<std::string>& texts) {
  std::unordered_set<std::uint32_t> out;
  for (const auto& text : texts) {
    try {
      out.insert(parse_ipv4(std::string_view(text)));
    } catch (const std::invalid_argument&) {
    }
  }
  return out;
}

}  // namespace

const Json& list_setting(const Json& record, const char* key) {
  static const Json empty = Json::array();
  const Json* value = find(record, key);
  return value != nullptr && value->is_array() ? *value : empty;
}

std::string text_setting(const Json& record, const char* key) {
  const Json* value = find(record, key);
  return value != nullptr && value->is_string() ? value->get<std::string>() : std::string();
}

bool truthy(const Json& record, const char* key) {
  const Json* value = find(record, key);
  if (value == nullptr || value->is_null()) return false;
  if (value->is_boolean()) return value->get<bool>();
  if (value->is_number()) return value->get<double>() != 0.0;
  if (value->is_string()) return !value->get<std::string>().empty();
  return !value->empty();
}

std::int64_t integer_setting(const Json& record, const char* key) {
  const Json* value = find(record, key);
  if (value == nullptr) return 0;
  if (value->is_number()) return value->get<std::int64_t>();
  if (value->is_string()) {
    try {
      return std::stoll(value->get<std::string>());
    } catch (...) {
      return 0;
    }
  }
  return 0;
}

int proxy_port_of(const Json& entry) {
  const Json* value = find(entry, "port");
  if (value == nullptr) return 0;
  if (value->is_number_integer()) {
    const auto port = value->get<std::int64_t>();
    return port > 0 && port <= 65535 ? static_cast<int>(port) : 0;
  }
  if (value->is_string()) {
    const std::string text = value->get<std::string>();
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
      return 0;
    const int port = std::stoi(text);
    return port <= 65535 ? port : 0;
  }
  return 0;
}

int relay_proxy_port(const Json& entry) {
  const int port = proxy_port_of(entry);
  if (port != 0) return port;
  return find(entry, "port") != nullptr ? 0 : 1080;
}

std::set<std::string> resolve_all(const std::string& host) {
  std::set<std::string> out;
  for (const auto& address : resolve_ipv4(host)) out.insert(address);
  return out;
}

std::set<std::string> resolve_proxy_hosts(const Json& proxy_list, spdlog::logger* log) {
  std::set<std::string> proxy_ips;
  for (const auto& entry : proxy_list) {
    const std::string host = text_setting(entry, "host");
    if (host.empty()) continue;
    try {
      for (const auto& address : resolve_all(host)) proxy_ips.insert(address);
    } catch (const std::exception& error) {
      if (log != nullptr) log->warn("代理 DNS 解析失败 {}: {}", host, error.what());
    }
  }
  return proxy_ips;
}

Exemptions Exemptions::build(std::set<std::string> api_ips, std::set<std::string> proxy_ips, const Json& proxy_list) {
  Exemptions out;
  out.api_ips = to_addresses(api_ips);
  out.proxy_ips = to_addresses(proxy_ips);
  out.api_ip_texts = std::move(api_ips);
  out.proxy_ip_texts = std::move(proxy_ips);
  for (const auto& entry : proxy_list) {
    const int port = proxy_port_of(entry);
    if (port != 0) out.proxy_ports.push_back(port);
  }
  return out;
}

bool Exemptions::is_api_traffic(std::uint32_t src, std::uint32_t dst) const {
  return !api_ips.empty() && (api_ips.count(dst) != 0 || api_ips.count(src) != 0);
}

bool Exemptions::is_proxy_traffic(std::uint32_t src, std::uint16_t src_port, std::uint32_t dst,
                                  std::uint16_t dst_port) const {
  if (proxy_ips.empty()) return false;
  for (int port : proxy_ports) {
    if (dst_port == port && proxy_ips.count(dst) != 0) return true;
    if (src_port == port && proxy_ips.count(src) != 0) return true;
  }
  return false;
}

}  // namespace tovix::engine_settings
