#pragma once
// Our own Internet checksums (RFC 1071) for rewritten packets, where no driver library can
// compute them: the fake diverter and any backend other than the Windows one.
#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/divert/packet.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

// Where the checksums sit: in the IPv4 header, and in the TCP header.
inline constexpr std::size_t IPV4_CHECKSUM_AT = 10;
inline constexpr std::size_t TCP_CHECKSUM_AT = 16;

// The ones' complement sum of `data` read as big-endian 16-bit words (an odd last byte padded
// with zero), folded to 16 bits: the start of every checksum and pseudo-header sum.
PACKET_DIVERT_EXPORT std::uint64_t sum_words(std::span<const std::uint8_t> data);

// The 16-bit ones' complement of the ones' complement sum of `data` read as big-endian
// words (an odd last byte padded with zero), continuing from `partial_sum`.
PACKET_DIVERT_EXPORT std::uint16_t internet_checksum(std::span<const std::uint8_t> data, std::uint32_t partial_sum = 0);

// Recomputes the IPv4 header checksum and, when the packet has a TCP view (IPv4 or IPv6), the
// TCP checksum over the pseudo-header and the segment; marks them valid in the capture info.
// Packets without those headers are left as they are.
PACKET_DIVERT_EXPORT void compute_checksums(Packet& packet);

// Where an IPv4 TCP packet goes: its addresses (host byte order) and ports.
struct Ipv4TcpEndpoints {
  std::uint32_t src = 0;
  std::uint16_t src_port = 0;
  std::uint32_t dst = 0;
  std::uint16_t dst_port = 0;
};

// Writes `to` into an IPv4 packet with a TCP view. When both checksums were known right, they
// are adjusted for the changed words alone (RFC 1624), without reading the payload, and true
// is returned; otherwise they are left for a full computation and false is returned.
PACKET_DIVERT_EXPORT bool retarget_ipv4_tcp(Packet& packet, const Ipv4TcpEndpoints& to);

}  // namespace tovix
