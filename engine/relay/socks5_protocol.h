#pragma once
// The steps of a SOCKS5 conversation (RFC 1928) that every command shares: the greeting with
// optional user/password sign-in (RFC 1929), and the reply with its bound address. Each step
// reads exactly its own bytes and throws ProtocolError for anything malformed.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/ip_address.h"
#include "common/socket.h"
#include "engine/relay/socks5_handler_export.h"

namespace tovix::socks5 {

enum : std::uint8_t {
  VERSION = 0x05,
  AUTH_VERSION = 0x01,
  METHOD_NO_AUTH = 0x00,
  METHOD_USER_PASSWORD = 0x02,
  METHOD_NONE_ACCEPTABLE = 0xFF,
  COMMAND_CONNECT = 0x01,
  COMMAND_UDP_ASSOCIATE = 0x03,
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

using Deadline = std::chrono::steady_clock::time_point;

// Offers no authentication, and user/password as well when a user name is given; signs in if
// the proxy picks it. User name and password are limited to 255 bytes each.
SOCKS5_HANDLER_EXPORT void sign_in(Socket& proxy, const std::string& username, const std::string& password,
                                   Deadline deadline);

struct Reply {
  std::uint8_t code = 0;
  std::optional<IpAddress> bound_address;  // absent when the proxy named a host instead
  std::string bound_host;
  std::uint16_t bound_port = 0;
};

// The reply to a request, the bound address consumed exactly: a tunnel's first bytes follow it.
SOCKS5_HANDLER_EXPORT Reply read_reply(Socket& proxy, Deadline deadline);

// Readable text of a reply code.
SOCKS5_HANDLER_EXPORT std::string reply_text(std::uint8_t code);

}  // namespace tovix::socks5
