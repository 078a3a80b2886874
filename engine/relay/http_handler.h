#pragma once
// HTTP upstream: a CONNECT tunnel, with Basic proxy authentication when a user name is set.
#include <chrono>
#include <memory>
#include <string>

#include "engine/relay/http_handler_export.h"
#include "engine/relay/upstream_handler.h"

namespace tovix {

class HTTP_HANDLER_EXPORT HttpHandler : public PlannedHandler {
 public:
  HttpHandler() = default;
  explicit HttpHandler(HandshakeTimeouts timeouts) : _timeouts(timeouts) {}

  std::optional<HandshakePlan> plan_handshake(const std::string& dst_ip, int dst_port, const std::string& proxy_host,
                                              int proxy_port, const std::string& proxy_username,
                                              const std::string& proxy_password) override;

  // Longest response header accepted before the proxy is taken for broken.
  static constexpr std::size_t MAX_HEADER_BYTES = 64 * 1024;

 private:
  HandshakeTimeouts _timeouts;
};

// Standard Base64 with padding.
HTTP_HANDLER_EXPORT std::string base64_encode(const std::string& bytes);

}  // namespace tovix
