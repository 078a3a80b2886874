#pragma once
// The re-check of a down proxy: one handshake through it to a fixed test destination, the way
// the relay makes them. The destination is configurable; by default it is the host of the
// first what-is-my-IP service the application asks.
#include <chrono>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/pool/proxy_pool_export.h"
#include "engine/relay/relay_hub.h"

namespace tovix::pool {

struct TestDestination {
  std::string host;
  int port = 80;
  auto operator<=>(const TestDestination&) const = default;
};

// Setting with the test destination as "host:port" or as a URL; absent or empty: the default.
inline constexpr const char* HEALTH_CHECK_TARGET_KEY = "health_check_target";

// "host", "host:port" or "http://host[:port]/path"; nothing for an empty text, a missing host,
// a port outside 1..65535 or another scheme than http.
PROXY_POOL_EXPORT std::optional<TestDestination> parse_test_destination(const std::string& text);
// The destination the settings record names, else the one of `default_url` (the application's
// first what-is-my-IP service).
PROXY_POOL_EXPORT TestDestination test_destination_of(const nlohmann::ordered_json& settings,
                                                      const std::string& default_url);

struct HandshakeCheckResult {
  bool succeeded = false;
  std::string error;  // the handler's text when it failed
};

// Shorter than the relay's own time-outs: a re-check must not hold a thread for long.
inline constexpr HandshakeTimeouts RECHECK_TIMEOUTS{std::chrono::seconds(5), std::chrono::seconds(10)};

// One handshake through `proxy_entry` to `destination`, the tunnel closed again at once. A
// proxy that answers but cannot reach the destination has worked. Never throws.
PROXY_POOL_EXPORT HandshakeCheckResult check_handshake(const nlohmann::ordered_json& proxy_entry,
                                                       const TestDestination& destination,
                                                       const HandlerFactory& handler_factory = {});

}  // namespace tovix::pool
