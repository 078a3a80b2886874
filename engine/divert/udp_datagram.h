#pragma once
// UDP datagrams of either IP version: reading one that a program sent, and building one to
// hand to a program (an answer from its proxy, or from a resolver).
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/ip_address.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

struct UdpDatagramView {
  IpEndpoint source;
  IpEndpoint destination;
  std::span<const std::uint8_t> payload;
};

// The endpoints and payload of an unfragmented UDP datagram whose lengths agree; nothing for
// anything else (other protocols, fragments, cut-short or inconsistent headers).
PACKET_DIVERT_EXPORT std::optional<UdpDatagramView> read_udp_datagram(std::span<const std::uint8_t> datagram);

// A complete datagram with both checksums. Throws std::invalid_argument when the endpoints'
// IP versions differ or the payload does not fit in one datagram.
PACKET_DIVERT_EXPORT std::vector<std::uint8_t> build_udp_datagram(const IpEndpoint& source,
                                                                  const IpEndpoint& destination,
                                                                  std::span<const std::uint8_t> payload);

}  // namespace tovix
