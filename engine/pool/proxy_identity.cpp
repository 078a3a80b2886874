#include "engine/pool/proxy_identity.h"

#include <exception>

#include "engine/relay/proxy_settings.h"

namespace tovix::pool {

std::string ProxyIdentity::key() const { return type + "://" + username + "@" + address(); }

std::string ProxyIdentity::address() const { return host + ":" + std::to_string(port); }

ProxyIdentity identity_of(const nlohmann::ordered_json& proxy_entry) {
  try {
    const ProxySettings proxy = read_proxy_settings(proxy_entry);
    return {proxy.type, proxy.username, proxy.host, proxy.port};
  } catch (const std::exception&) {
    return {"invalid", "", proxy_entry.dump(), 0};
  }
}

std::string failure_reason(const std::string& error, const std::string& host, int port) {
  std::string reason = error;
  const std::string handler_prefix = " proxy " + host + ":" + std::to_string(port) + ": ";
  // The prefix follows the handler's kind ("SOCKS5", "HTTP"), never text from the peer.
  if (const auto at = reason.find(handler_prefix); at != std::string::npos && at < 16) {
    reason.erase(0, at + handler_prefix.size());
  }
  // A refused or unreachable proxy: the socket names the same address once more.
  if (const std::string socket_prefix = "cannot connect to " + host + ":" + std::to_string(port) + ": ";
      reason.starts_with(socket_prefix)) {
    reason.erase(0, socket_prefix.size());
  }
  if (reason.empty()) reason = "未知错误";
  return reason;
}

}  // namespace tovix::pool
