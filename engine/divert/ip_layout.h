#pragma once
// Where the parts of a raw IPv4 or IPv6 datagram lie, and what the builders of answering
// packets share: address fields, fresh IP headers, the transport checksum. Works on any
// datagram, unlike Packet's views, which cover IPv4 TCP only.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/ip_address.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

inline constexpr std::uint8_t IP_PROTOCOL_ICMP = 1;
inline constexpr std::uint8_t IP_PROTOCOL_TCP = 6;
inline constexpr std::uint8_t IP_PROTOCOL_UDP = 17;
inline constexpr std::uint8_t IP_PROTOCOL_ICMPV6 = 58;
inline constexpr std::uint8_t DEFAULT_HOP_LIMIT = 64;

struct IpLayout {
  IpAddress source;
  IpAddress destination;
  std::uint8_t protocol = 0;     // the transport after any IPv6 extension headers
  std::size_t transport_at = 0;  // where the transport header starts
  std::size_t datagram_end = 0;  // end of the datagram as its header states it
  bool later_fragment = false;   // a fragment other than the first: no transport header
  bool fragmented = false;       // any fragment: the transport checksum covers bytes not here
};

// The layout of a complete IPv4 or IPv6 header (IPv6 extension headers walked), or nothing
// for bytes that are cut short or inconsistent.
PACKET_DIVERT_EXPORT std::optional<IpLayout> read_ip_layout(std::span<const std::uint8_t> datagram);

// A new datagram with a fresh IP header (IPv4 with its checksum, or IPv6) from `source` to
// `destination` and room for `transport_length` bytes after it, zeroed. Throws
// std::invalid_argument when the families differ or the length does not fit.
PACKET_DIVERT_EXPORT std::vector<std::uint8_t> new_ip_datagram(const IpAddress& source, const IpAddress& destination,
                                                               std::uint8_t protocol, std::size_t transport_length);
PACKET_DIVERT_EXPORT std::size_t ip_header_length(const IpAddress& address);

// Writes the checksum of the transport message that starts at `transport_at` and runs to the
// end of `datagram` (TCP, UDP or ICMPv6 with the pseudo-header; ICMP without), at
// `checksum_at` within that message.
PACKET_DIVERT_EXPORT void write_transport_checksum(std::span<std::uint8_t> datagram, std::size_t transport_at,
                                                   std::size_t checksum_at);

// Whether the address is one no host answers from: multicast, broadcast (255.255.255.255),
// or unspecified.
PACKET_DIVERT_EXPORT bool is_group_or_unspecified(const IpAddress& address);

}  // namespace tovix
