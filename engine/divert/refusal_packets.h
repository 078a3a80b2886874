#pragma once
// Answers that refuse a program's packet at once, as if its destination had answered: an ICMP
// (ICMPv6) "port unreachable" for a UDP datagram, a TCP reset for a segment. Each is addressed
// back to the sender with the addresses and ports swapped and carries correct checksums, so the
// sender's own stack takes it: a connected UDP socket reads ECONNREFUSED (WSAECONNRESET on
// Windows), a connecting TCP socket fails with ECONNREFUSED, an open one is reset.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/divert/packet.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

// For an IPv4 or IPv6 UDP datagram (the first fragment at least). IPv4 quotes the offending
// IP header and the first 8 bytes after it; IPv6 quotes as much of the datagram as keeps the
// answer within 1280 bytes. Nothing for other packets, for a datagram sent to a multicast or
// broadcast address, or from an unspecified one (no host would answer those).
PACKET_DIVERT_EXPORT std::optional<std::vector<std::uint8_t>> build_port_unreachable(
    std::span<const std::uint8_t> offending);

// For an IPv4 or IPv6 TCP segment other than a reset: a segment that acknowledges gets a reset
// with its acknowledgement number as sequence number; any other (a SYN) a reset that
// acknowledges everything it carried (SYN and FIN count one each). Nothing for other packets.
PACKET_DIVERT_EXPORT std::optional<std::vector<std::uint8_t>> build_tcp_reset(std::span<const std::uint8_t> offending);

// The same as packets to re-inject: in the opposite direction to the offending packet, on its
// interface, with the checksums marked valid.
PACKET_DIVERT_EXPORT std::optional<Packet> port_unreachable_for(const Packet& offending);
PACKET_DIVERT_EXPORT std::optional<Packet> tcp_reset_for(const Packet& offending);

}  // namespace tovix
