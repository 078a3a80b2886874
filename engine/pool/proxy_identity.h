#pragma once
// How the pool names one upstream proxy: type, user name, host and port, never the password.
// An edited password keeps the proxy's health and usage; another user name at the same host
// (a second account at a vendor's gateway) is another proxy.
#include <compare>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/pool/proxy_pool_export.h"

namespace tovix::pool {

struct PROXY_POOL_EXPORT ProxyIdentity {
  std::string type;
  std::string username;
  std::string host;
  int port = 0;

  // "type://user@host:port", the form stored in the usage file and used as a map key.
  std::string key() const;
  // "host:port", as the user's texts name a proxy.
  std::string address() const;

  auto operator<=>(const ProxyIdentity&) const = default;
};

// The identity of a ProxyEntry record, each missing key at the relay's default; a record the
// relay could not use gets type "invalid" and its JSON text as host, so it is still one proxy.
PROXY_POOL_EXPORT ProxyIdentity identity_of(const nlohmann::ordered_json& proxy_entry);

// The handler's error text without its leading naming of the proxy ("SOCKS5 proxy host:port: ",
// "cannot connect to host:port: "), for places that name the proxy already; "未知错误" when
// nothing is left.
PROXY_POOL_EXPORT std::string failure_reason(const std::string& error, const std::string& host, int port);

}  // namespace tovix::pool
