#pragma once
// SOCKS5 upstream (RFC 1928) with optional user/password authentication (RFC 1929).
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/relay/socks5_handler_export.h"
#include "engine/relay/upstream_handler.h"

namespace tovix {

class SOCKS5_HANDLER_EXPORT Socks5Handler : public PlannedHandler {
 public:
  Socks5Handler() = default;
  explicit Socks5Handler(HandshakeTimeouts timeouts) : _timeouts(timeouts) {}

  std::optional<HandshakePlan> plan_handshake(const std::string& dst_ip, int dst_port, const std::string& proxy_host,
                                              int proxy_port, const std::string& proxy_username,
                                              const std::string& proxy_password) override;

  // Readable text of a CONNECT reply code.
  static std::string reply_text(std::uint8_t code);

 private:
  HandshakeTimeouts _timeouts;
};

}  // namespace tovix
