#pragma once
// Our own Internet checksums (RFC 1071) for rewritten packets, where no driver library can
// compute them: the fake diverter and any backend other than the Windows one.
#include <cstdint>
#include <span>

#include "engine/divert/packet.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

// The 16-bit ones' complement of the ones' complement sum of `data` read as big-endian
// words (an odd last byte padded with zero), continuing from `partial_sum`.
PACKET_DIVERT_EXPORT std::uint16_t internet_checksum(std::span<const std::uint8_t> data, std::uint32_t partial_sum = 0);

// Recomputes the IPv4 header checksum and, when the packet has a TCP view (IPv4 or IPv6), the
// TCP checksum over the pseudo-header and the segment; marks them valid in the capture info.
// Packets without those headers are left as they are.
PACKET_DIVERT_EXPORT void compute_checksums(Packet& packet);

}  // namespace tovix
