#include "engine/relay/socks5_handler.h"

#include <string>

#include "engine/relay/socks5_protocol.h"

namespace tovix {
namespace {

constexpr const char* KIND = "SOCKS5";

// Messages are built as byte strings; std::string keeps GCC's overflow checker quiet where
// std::vector<uint8_t> inserts trip it at -O3.
void append_byte(std::string& message, unsigned value) { message.push_back(static_cast<char>(value & 0xFF)); }

void append_port(std::string& message, int port) {
  append_byte(message, static_cast<unsigned>(port) >> 8);
  append_byte(message, static_cast<unsigned>(port));
}

std::string connect_request(const std::string& dst_ip, int dst_port) {
  std::string request;
  append_byte(request, socks5::VERSION);
  append_byte(request, socks5::COMMAND_CONNECT);
  append_byte(request, 0x00);
  unsigned char ipv4[4];
  if (parse_ipv4(dst_ip, ipv4)) {
    append_byte(request, socks5::ADDRESS_IPV4);
    request.append(reinterpret_cast<const char*>(ipv4), 4);
  } else {
    if (dst_ip.empty() || dst_ip.size() > 255) throw ProtocolError("invalid destination address '" + dst_ip + "'");
    append_byte(request, socks5::ADDRESS_DOMAIN);
    append_byte(request, static_cast<unsigned>(dst_ip.size()));
    request += dst_ip;
  }
  append_port(request, dst_port);
  return request;
}

// Sign-in and CONNECT; a refusal in the reply ends the handshake with an error that says whose
// failure it was.
class ConnectExchange : public socks5::Exchange {
 public:
  ConnectExchange(Plan plan, std::string dst_ip, int dst_port)
      : Exchange(std::move(plan)), _dst_ip(std::move(dst_ip)), _dst_port(dst_port) {}

 protected:
  void on_reply(const socks5::Reply& reply) override {
    if (reply.code == socks5::REPLY_SUCCEEDED) return;
    const std::string text =
        "CONNECT to " + _dst_ip + ":" + std::to_string(_dst_port) + " failed: " + socks5::reply_text(reply.code);
    // Unreachable network or host, refusal, TTL: the proxy tried the destination for us. A
    // general failure or a ruleset refusal is the proxy's own (an expired account answers so).
    const bool at_destination =
        reply.code >= socks5::REPLY_NETWORK_UNREACHABLE && reply.code <= socks5::REPLY_TTL_EXPIRED;
    // A name that did not resolve: a general failure (microsocks), host unreachable (dante and
    // the RFC), network unreachable (a name whose first address the proxy cannot route), or no
    // names taken at all.
    if (is_host_name_destination(_dst_ip) &&
        (reply.code == socks5::REPLY_GENERAL_FAILURE || reply.code == socks5::REPLY_NETWORK_UNREACHABLE ||
         reply.code == socks5::REPLY_HOST_UNREACHABLE || reply.code == socks5::REPLY_ADDRESS_TYPE_NOT_SUPPORTED)) {
      throw NameNotResolvedError(text, at_destination);
    }
    if (at_destination) throw DestinationError(text);
    throw ProtocolError(text);
  }

 private:
  std::string _dst_ip;
  int _dst_port;
};

}  // namespace

std::string Socks5Handler::reply_text(std::uint8_t code) { return socks5::reply_text(code); }

std::optional<HandshakePlan> Socks5Handler::plan_handshake(const std::string& dst_ip, int dst_port,
                                                           const std::string& proxy_host, int proxy_port,
                                                           const std::string& proxy_username,
                                                           const std::string& proxy_password) {
  auto fail = [&](const std::string& detail) {
    return ProxyError(proxy_failure(KIND, proxy_host, proxy_port, detail));
  };
  if (dst_port <= 0 || dst_port > 65535) throw fail("invalid destination port " + std::to_string(dst_port));
  if (proxy_username.size() > 255 || proxy_password.size() > 255) {
    throw fail("user name and password are limited to 255 bytes each");
  }
  std::string request;
  try {
    request = connect_request(dst_ip, dst_port);
  } catch (const ProtocolError& error) {
    throw fail(error.what());
  }
  return HandshakePlan{
      KIND, _timeouts, false,
      std::make_unique<ConnectExchange>(
          socks5::Exchange::Plan{true, proxy_username, proxy_password, std::move(request), true}, dst_ip, dst_port)};
}

}  // namespace tovix
