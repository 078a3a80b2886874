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

// The plain sum of `data` read as big-endian 16-bit words (an odd last byte padded with zero),
// unfolded: the start of every checksum and pseudo-header sum.
PACKET_DIVERT_EXPORT std::uint64_t sum_words(std::span<const std::uint8_t> data);

// The 16-bit ones' complement of the ones' complement sum of `data` read as big-endian
// words (an odd last byte padded with zero), continuing from `partial_sum`.
PACKET_DIVERT_EXPORT std::uint16_t internet_checksum(std::span<const std::uint8_t> data, std::uint32_t partial_sum = 0);

// Recomputes the IPv4 header checksum and, when the packet has a TCP view (IPv4 or IPv6), the
// TCP checksum over the pseudo-header and the segment; marks them valid in the capture info.
// Packets without those headers are left as they are.
PACKET_DIVERT_EXPORT void compute_checksums(Packet& packet);

}  // namespace tovix
