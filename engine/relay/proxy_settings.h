#pragma once
// The upstream proxy as a ProxyEntry record describes it, each missing key with its default.
#include <string>

#include <nlohmann/json.hpp>

#include "engine/relay/relay_hub_export.h"

namespace tovix {

struct ProxySettings {
  std::string type = "socks5";
  std::string host = "127.0.0.1";
  int port = 1080;
  std::string username;
  std::string password;
};

// Throws std::invalid_argument when a present key holds a value of the wrong kind.
RELAY_HUB_EXPORT ProxySettings read_proxy_settings(const nlohmann::ordered_json& record);

}  // namespace tovix
