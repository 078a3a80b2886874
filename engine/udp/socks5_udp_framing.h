#pragma once
// The header a SOCKS5 proxy's UDP relay expects before each datagram and puts before each
// answer: RSV(2) FRAG(1) ATYP(1) DST.ADDR DST.PORT(2), then the data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/ip_address.h"
#include "engine/udp/udp_proxy_export.h"

namespace tovix {

// The largest datagram an IPv4 UDP socket can send; what the relay must receive in one piece.
inline constexpr std::size_t MAX_UDP_PAYLOAD = 65507;

// The framed datagram for `destination`.
UDP_PROXY_EXPORT std::vector<std::uint8_t> frame_socks_udp(const IpEndpoint& destination,
                                                           std::span<const std::uint8_t> payload);

enum class SocksUdpStatus {
  ok,
  fragment,      // part of a fragmented datagram: dropped, we do not reassemble
  named_source,  // the source is a host name, which no IP packet can carry: dropped
  malformed,     // too short or an unknown address type
};

struct SocksUdpDatagram {
  SocksUdpStatus status = SocksUdpStatus::malformed;
  IpEndpoint source;                      // when ok
  std::span<const std::uint8_t> payload;  // when ok; a view into the framed bytes
};

UDP_PROXY_EXPORT SocksUdpDatagram unframe_socks_udp(std::span<const std::uint8_t> framed);

}  // namespace tovix
