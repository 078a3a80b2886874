#include "engine/udp/socks5_udp_framing.h"

#include <algorithm>

#include "engine/relay/socks5_protocol.h"

namespace tovix {

std::vector<std::uint8_t> frame_socks_udp(const IpEndpoint& destination, std::span<const std::uint8_t> payload) {
  // Sized once and filled in place: GCC's overflow checker misreads growing inserts at -O2.
  const auto address = destination.address.bytes();
  std::vector<std::uint8_t> framed(4 + address.size() + 2 + payload.size());
  framed[3] = destination.address.is_v4() ? socks5::ADDRESS_IPV4 : socks5::ADDRESS_IPV6;
  auto at = std::copy(address.begin(), address.end(), framed.begin() + 4);
  *at++ = static_cast<std::uint8_t>(destination.port >> 8);
  *at++ = static_cast<std::uint8_t>(destination.port);
  std::copy(payload.begin(), payload.end(), at);
  return framed;
}

SocksUdpDatagram unframe_socks_udp(std::span<const std::uint8_t> framed) {
  SocksUdpDatagram datagram;
  if (framed.size() < 4) return datagram;
  // The reserved bytes are not checked: no relay in use sets them, and a stray one should not
  // end the flow.
  std::size_t address_length = 0;
  std::size_t address_at = 4;
  switch (framed[3]) {
    case socks5::ADDRESS_IPV4:
      address_length = 4;
      break;
    case socks5::ADDRESS_IPV6:
      address_length = 16;
      break;
    case socks5::ADDRESS_DOMAIN:
      if (framed.size() < 5) return datagram;
      address_length = framed[4];
      address_at = 5;
      break;
    default:
      return datagram;
  }
  const std::size_t payload_at = address_at + address_length + 2;
  if (framed.size() < payload_at) return datagram;
  if (framed[2] != 0) {
    datagram.status = SocksUdpStatus::fragment;
    return datagram;
  }
  if (framed[3] == socks5::ADDRESS_DOMAIN) {
    datagram.status = SocksUdpStatus::named_source;
    return datagram;
  }
  datagram.status = SocksUdpStatus::ok;
  datagram.source.address = IpAddress::from_bytes(framed.subspan(address_at, address_length));
  datagram.source.port =
      static_cast<std::uint16_t>(framed[address_at + address_length] << 8 | framed[address_at + address_length + 1]);
  datagram.payload = framed.subspan(payload_at);
  return datagram;
}

}  // namespace tovix
