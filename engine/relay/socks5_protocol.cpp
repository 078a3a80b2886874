#include "engine/relay/socks5_protocol.h"

#include "engine/relay/upstream_handler.h"

namespace tovix::socks5 {
namespace {

// Messages are built as byte strings; std::string keeps GCC's overflow checker quiet where
// std::vector<uint8_t> inserts trip it at -O3.
void append_byte(std::string& message, unsigned value) { message.push_back(static_cast<char>(value & 0xFF)); }

std::uint8_t greet(Socket& proxy, bool offer_password, Deadline deadline) {
  std::string greeting;
  append_byte(greeting, VERSION);
  append_byte(greeting, offer_password ? 2 : 1);
  append_byte(greeting, METHOD_NO_AUTH);
  if (offer_password) append_byte(greeting, METHOD_USER_PASSWORD);
  proxy.send_all(greeting.data(), greeting.size());
  std::uint8_t answer[2];
  receive_exact(proxy, answer, sizeof answer, deadline);
  if (answer[0] != VERSION)
    throw ProtocolError("not a SOCKS5 proxy (answered version " + std::to_string(answer[0]) + ")");
  return answer[1];
}

void authenticate(Socket& proxy, const std::string& username, const std::string& password, Deadline deadline) {
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

}  // namespace

void sign_in(Socket& proxy, const std::string& username, const std::string& password, Deadline deadline) {
  if (username.size() > 255 || password.size() > 255) {
    throw ProtocolError("user name and password are limited to 255 bytes each");
  }
  const bool offer_password = !username.empty();
  const std::uint8_t method = greet(proxy, offer_password, deadline);
  if (method == METHOD_USER_PASSWORD && offer_password) {
    authenticate(proxy, username, password, deadline);
  } else if (method == METHOD_NONE_ACCEPTABLE) {
    throw ProtocolError(offer_password ? "no offered authentication method accepted"
                                       : "proxy requires authentication but no user name is set");
  } else if (method != METHOD_NO_AUTH) {
    throw ProtocolError("proxy chose an authentication method that was not offered (" + std::to_string(method) + ")");
  }
}

Reply read_reply(Socket& proxy, Deadline deadline) {
  std::uint8_t head[4];
  receive_exact(proxy, head, sizeof head, deadline);
  if (head[0] != VERSION) throw ProtocolError("malformed reply (version " + std::to_string(head[0]) + ")");
  Reply reply;
  reply.code = head[1];
  std::uint8_t bound[257];
  switch (head[3]) {
    case ADDRESS_IPV4:
    case ADDRESS_IPV6: {
      const std::size_t length = head[3] == ADDRESS_IPV4 ? 4 : 16;
      receive_exact(proxy, bound, length + 2, deadline);
      reply.bound_address = IpAddress::from_bytes(std::span<const std::uint8_t>(bound, length));
      reply.bound_port = static_cast<std::uint16_t>(bound[length] << 8 | bound[length + 1]);
      break;
    }
    case ADDRESS_DOMAIN: {
      std::uint8_t length = 0;
      receive_exact(proxy, &length, 1, deadline);
      receive_exact(proxy, bound, length + 2u, deadline);
      reply.bound_host.assign(reinterpret_cast<const char*>(bound), length);
      reply.bound_port = static_cast<std::uint16_t>(bound[length] << 8 | bound[length + 1]);
      break;
    }
    default:
      throw ProtocolError("malformed reply (address type " + std::to_string(head[3]) + ")");
  }
  return reply;
}

std::string reply_text(std::uint8_t code) {
  switch (code) {
    case 0x01:
      return "general SOCKS server failure";
    case 0x02:
      return "connection not allowed by ruleset";
    case 0x03:
      return "network unreachable";
    case 0x04:
      return "host unreachable";
    case 0x05:
      return "connection refused by the destination";
    case 0x06:
      return "TTL expired";
    case 0x07:
      return "command not supported";
    case 0x08:
      return "address type not supported";
    default:
      return "unknown reply code " + std::to_string(code);
  }
}

}  // namespace tovix::socks5
