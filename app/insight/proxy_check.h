#pragma once
// Checks one upstream proxy the way the relay uses it: a tunnel opened with the relay's own
// handler (the handshake timed), then a what-is-my-IP service asked through that tunnel for
// the address the proxy gives its users. Blocks the calling thread; never throws.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/insight/insight_core_export.h"
#include "engine/relay/proxy_settings.h"
#include "engine/relay/relay_hub.h"

namespace tovix::insight {

// A plain-HTTP service and how its answer is read.
struct IpSource {
  std::string url;
  std::function<std::optional<std::string>(std::string_view body)> parse;
};

struct ProxyCheckResult {
  bool reachable = false;     // the tunnel stood: the proxy works
  double handshake_ms = 0.0;  // connection and handshake of the first tunnel that stood
  std::string exit_address;   // empty when no source named one
  std::string error;          // the handler's text when not reachable
  // Whether a reachable SOCKS5 proxy grants UDP ASSOCIATE; nothing for other proxies or when
  // the answer could not be had.
  std::optional<bool> grants_udp;
};

// How a proxy entry is named where results are kept: type, user, host and port, never the
// password, so an edited password is one proxy still but another port is not.
INSIGHT_CORE_EXPORT std::string proxy_key(const nlohmann::ordered_json& proxy_entry);

class INSIGHT_CORE_EXPORT ProxyChecker {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // Shorter than the relay's: a user is waiting for the answer.
  static constexpr HandshakeTimeouts CHECK_TIMEOUTS{std::chrono::seconds(5), std::chrono::seconds(10)};
  static constexpr std::chrono::seconds REQUEST_TIMEOUT{5};
  // The exit address is shown as text; a source that answers more is not believed.
  static constexpr std::size_t MAX_ADDRESS_CHARACTERS = 64;

  // Asks a SOCKS5 proxy whether it grants UDP ASSOCIATE (see grants_udp_associate).
  using UdpProbe = std::function<std::optional<bool>(const ProxySettings& proxy)>;

  explicit ProxyChecker(std::vector<IpSource> sources, HandlerFactory handler_factory = default_handler_factory(),
                        Clock clock = std::chrono::steady_clock::now, UdpProbe udp_probe = default_udp_probe());

  // Sources are asked in order, each through a tunnel of its own, until one names an address.
  // A failure at the proxy ends the check at once; a source that cannot be reached, answers
  // an error status or names no address lets the next one be asked. A reachable SOCKS5 proxy
  // is then asked for UDP.
  ProxyCheckResult check(const nlohmann::ordered_json& proxy_entry) const;

  static HandlerFactory default_handler_factory();
  static UdpProbe default_udp_probe();

 private:
  ProxyCheckResult _check_tunnels(const ProxySettings& proxy) const;

  std::vector<IpSource> _sources;
  HandlerFactory _handler_factory;
  Clock _clock;
  UdpProbe _udp_probe;
};

}  // namespace tovix::insight
