#pragma once
// The way out without a proxy: a plain TCP connection to the destination itself, opened the way
// the proxy handlers open theirs, so the engine knows it for its own and never diverts it again.
#include "engine/relay/relay_hub_export.h"
#include "engine/relay/upstream_handler.h"

namespace tovix {

class RELAY_HUB_EXPORT DirectHandler : public PlannedHandler {
 public:
  DirectHandler() = default;
  explicit DirectHandler(HandshakeTimeouts timeouts) : _timeouts(timeouts) {}

  // The proxy arguments are not used: the connection goes to dst_ip:dst_port itself, and a
  // failure is the destination's (ProxyError::at_destination).
  std::optional<HandshakePlan> plan_handshake(const std::string& dst_ip, int dst_port, const std::string& proxy_host,
                                              int proxy_port, const std::string& proxy_username,
                                              const std::string& proxy_password) override;

 private:
  HandshakeTimeouts _timeouts;
};

}  // namespace tovix
