#pragma once
// What the DNS relay needs to know of DNS messages (RFC 1035) and of their TCP transport
// (RFC 7766): the two-byte length prefix, the message ID, and a SERVFAIL answer for a query
// that cannot be asked.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/udp/udp_proxy_export.h"

namespace tovix {

inline constexpr std::size_t DNS_HEADER_LENGTH = 12;

// The message with its length in front, as it goes on a TCP connection. Messages longer than
// 65535 bytes cannot be framed: std::invalid_argument.
UDP_PROXY_EXPORT std::vector<std::uint8_t> frame_dns_message(std::span<const std::uint8_t> message);

UDP_PROXY_EXPORT std::uint16_t dns_message_id(std::span<const std::uint8_t> message);
UDP_PROXY_EXPORT void set_dns_message_id(std::span<std::uint8_t> message, std::uint16_t id);
// At least a header, and the QR bit clear.
UDP_PROXY_EXPORT bool is_dns_query(std::span<const std::uint8_t> message);

// An answer that says the server failed (RCODE 2) to `query`: its ID, opcode and RD bit, and its
// question when it has exactly one that reads cleanly. Nothing for a message too short to be a
// query.
UDP_PROXY_EXPORT std::optional<std::vector<std::uint8_t>> dns_server_failure(std::span<const std::uint8_t> query);

// Cuts a TCP byte stream into the DNS messages it carries, however the bytes arrive.
class UDP_PROXY_EXPORT DnsStreamReader {
 public:
  // Adds received bytes; complete messages are appended to `messages`. False when the stream
  // holds a message too short to be one: the connection is of no use any more.
  bool feed(std::span<const std::uint8_t> bytes, std::vector<std::vector<std::uint8_t>>& messages);
  bool mid_message() const { return !_pending.empty(); }

 private:
  std::vector<std::uint8_t> _pending;
};

}  // namespace tovix
