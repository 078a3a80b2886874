#include "engine/relay/socks5_handler.h"

#include <string>

namespace tovix {
namespace {

constexpr const char* KIND = "SOCKS5";

enum : std::uint8_t {
  SOCKS_VERSION = 0x05,
  AUTH_VERSION = 0x01,
  METHOD_NO_AUTH = 0x00,
  METHOD_USER_PASSWORD = 0x02,
  METHOD_NONE_ACCEPTABLE = 0xFF,
  COMMAND_CONNECT = 0x01,
  ADDRESS_IPV4 = 0x01,
  ADDRESS_DOMAIN = 0x03,
  ADDRESS_IPV6 = 0x04,
  REPLY_SUCCEEDED = 0x00,
  REPLY_GENERAL_FAILURE = 0x01,
  REPLY_NETWORK_UNREACHABLE = 0x03,
  REPLY_HOST_UNREACHABLE = 0x04,
  REPLY_TTL_EXPIRED = 0x06,
  REPLY_ADDRESS_TYPE_NOT_SUPPORTED = 0x08,
};

// Messages are built as byte strings; std::string keeps GCC's overflow checker quiet where
// std::vector<uint8_t> inserts trip it at -O3.
void append_byte(std::string& message, unsigned value) { message.push_back(static_cast<char>(value & 0xFF)); }

void append_port(std::string& message, int port) {
  append_byte(message, static_cast<unsigned>(port) >> 8);
  append_byte(message, static_cast<unsigned>(port));
}

}  // namespace

std::string Socks5Handler::reply_text(std::uint8_t code) {
  switch (code) {
    case 0x01: return "general SOCKS server failure";
    case 0x02: return "connection not allowed by ruleset";
    case 0x03: return "network unreachable";
    case 0x04: return "host unreachable";
    case 0x05: return "connection refused by the destination";
    case 0x06: return "TTL expired";
    case 0x07: return "command not supported";
    case 0x08: return "address type not supported";
    default: return "unknown reply code " + std::to_string(code);
  }
}

std::shared_ptr<Socket> Socks5Handler::handle_connection(const std::string& dst_ip, int dst_port,
                                                         const std::string& proxy_host, int proxy_port,
                                                         const std::string& proxy_username,
                                                         const std::string& proxy_password) {
  auto fail = [&](const std::string& detail) { return ProxyError(proxy_failure(KIND, proxy_host, proxy_port, detail)); };
  if (dst_port <= 0 || dst_port > 65535) throw fail("invalid destination port " + std::to_string(dst_port));
  if (proxy_username.size() > 255 || proxy_password.size() > 255) {
    throw fail("user name and password are limited to 255 bytes each");
  }
  auto proxy = open_proxy_connection(KIND, proxy_host, proxy_port, _timeouts);
  const Deadline deadline = std::chrono::steady_clock::now() + _timeouts.handshake;
  during_handshake(KIND, proxy_host, proxy_port, [&] {
    const bool offer_password = !proxy_username.empty();
    std::uint8_t method = _greet(*proxy, offer_password, deadline);
    if (method == METHOD_USER_PASSWORD && offer_password) {
      _authenticate(*proxy, proxy_username, proxy_password, deadline);
    } else if (method == METHOD_NONE_ACCEPTABLE) {
      throw ProtocolError(offer_password ? "no offered authentication method accepted"
                                : "proxy requires authentication but no user name is set");
    } else if (method != METHOD_NO_AUTH) {
      throw ProtocolError("proxy chose an authentication method that was not offered (" + std::to_string(method) + ")");
    }
    _connect(*proxy, dst_ip, dst_port, deadline);
  });
  return proxy;
}

std::uint8_t Socks5Handler::_greet(Socket& proxy, bool offer_password, Deadline deadline) const {
  std::string greeting;
  append_byte(greeting, SOCKS_VERSION);
  append_byte(greeting, offer_password ? 2 : 1);
  append_byte(greeting, METHOD_NO_AUTH);
  if (offer_password) append_byte(greeting, METHOD_USER_PASSWORD);
  proxy.send_all(greeting.data(), greeting.size());
  std::uint8_t answer[2];
  receive_exact(proxy, answer, sizeof answer, deadline);
  if (answer[0] != SOCKS_VERSION) throw ProtocolError("not a SOCKS5 proxy (answered version " + std::to_string(answer[0]) + ")");
  return answer[1];
}

void Socks5Handler::_authenticate(Socket& proxy, const std::string& username, const std::string& password,
                                  Deadline deadline) const {
  std::string request;
  append_byte(request, AUTH_VERSION);
  append_byte(request, static_cast<unsigned>(username.size()));
  request += username;
  append_byte(request, static_cast<unsigned>(password.size()));
  request += password;
  proxy.send_all(request.data(), request.size());
  std::uint8_t answer[2];
  receive_exact(proxy, answer, sizeof answer, deadline);
  if (answer[1] != 0) throw ProtocolError("user name or password rejected by the SOCKS5 proxy");
}

void Socks5Handler::_connect(Socket& proxy, const std::string& dst_ip, int dst_port, Deadline deadline) const {
  std::string request;
  append_byte(request, SOCKS_VERSION);
  append_byte(request, COMMAND_CONNECT);
  append_byte(request, 0x00);
  unsigned char ipv4[4];
  if (parse_ipv4(dst_ip, ipv4)) {
    append_byte(request, ADDRESS_IPV4);
    request.append(reinterpret_cast<const char*>(ipv4), 4);
  } else {
    if (dst_ip.empty() || dst_ip.size() > 255) throw ProtocolError("invalid destination address '" + dst_ip + "'");
    append_byte(request, ADDRESS_DOMAIN);
    append_byte(request, static_cast<unsigned>(dst_ip.size()));
    request += dst_ip;
  }
  append_port(request, dst_port);
  proxy.send_all(request.data(), request.size());

  std::uint8_t head[4];
  receive_exact(proxy, head, sizeof head, deadline);
  if (head[0] != SOCKS_VERSION) throw ProtocolError("malformed CONNECT reply (version " + std::to_string(head[0]) + ")");
  const std::string target = dst_ip + ":" + std::to_string(dst_port);
  if (head[1] != REPLY_SUCCEEDED) {
    const std::string text = "CONNECT to " + target + " failed: " + reply_text(head[1]);
    // Unreachable network or host, refusal, TTL: the proxy tried the destination for us. A
    // general failure or a ruleset refusal is the proxy's own (an expired account answers so).
    const bool at_destination = head[1] >= REPLY_NETWORK_UNREACHABLE && head[1] <= REPLY_TTL_EXPIRED;
    // A name that did not resolve: a general failure (microsocks), host unreachable (dante and
    // the RFC), network unreachable (a name whose first address the proxy cannot route), or no
    // names taken at all.
    if (is_host_name_destination(dst_ip) &&
        (head[1] == REPLY_GENERAL_FAILURE || head[1] == REPLY_NETWORK_UNREACHABLE ||
         head[1] == REPLY_HOST_UNREACHABLE || head[1] == REPLY_ADDRESS_TYPE_NOT_SUPPORTED)) {
      throw NameNotResolvedError(text, at_destination);
    }
    if (at_destination) throw DestinationError(text);
    throw ProtocolError(text);
  }
  // The bound address must be consumed exactly: the destination's first bytes follow it.
  std::size_t rest = 0;
  switch (head[3]) {
    case ADDRESS_IPV4: rest = 4 + 2; break;
    case ADDRESS_IPV6: rest = 16 + 2; break;
    case ADDRESS_DOMAIN: {
      std::uint8_t length = 0;
      receive_exact(proxy, &length, 1, deadline);
      rest = length + 2u;
      break;
    }
    default: throw ProtocolError("malformed CONNECT reply (address type " + std::to_string(head[3]) + ")");
  }
  std::uint8_t bound[257];
  receive_exact(proxy, bound, rest, deadline);
}

}  // namespace tovix
