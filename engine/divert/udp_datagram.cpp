#include "engine/divert/udp_datagram.h"

#include <algorithm>
#include <stdexcept>

#include "engine/divert/ip_layout.h"
#include "engine/divert/packet.h"

namespace tovix {
namespace {
constexpr std::size_t kUdpHeaderLength = 8;
constexpr std::size_t kUdpChecksumAt = 6;
}  // namespace

std::optional<UdpDatagramView> read_udp_datagram(std::span<const std::uint8_t> datagram) {
  const auto layout = read_ip_layout(datagram);
  if (!layout || layout->protocol != IP_PROTOCOL_UDP || layout->fragmented) return std::nullopt;
  if (layout->transport_at + kUdpHeaderLength > layout->datagram_end) return std::nullopt;
  const auto udp = datagram.subspan(layout->transport_at, layout->datagram_end - layout->transport_at);
  const std::size_t length = wire::load16(udp, 4);
  if (length < kUdpHeaderLength || length > udp.size()) return std::nullopt;
  return UdpDatagramView{IpEndpoint{layout->source, wire::load16(udp, 0)},
                         IpEndpoint{layout->destination, wire::load16(udp, 2)},
                         udp.subspan(kUdpHeaderLength, length - kUdpHeaderLength)};
}

std::vector<std::uint8_t> build_udp_datagram(const IpEndpoint& source, const IpEndpoint& destination,
                                             std::span<const std::uint8_t> payload) {
  const std::size_t length = kUdpHeaderLength + payload.size();
  if (length > 0xFFFF) throw std::invalid_argument("UDP payload too large");
  auto datagram = new_ip_datagram(source.address, destination.address, IP_PROTOCOL_UDP, length);
  const std::size_t at = ip_header_length(source.address);
  const std::span<std::uint8_t> udp = std::span(datagram).subspan(at);
  wire::store16(udp, 0, source.port);
  wire::store16(udp, 2, destination.port);
  wire::store16(udp, 4, static_cast<std::uint16_t>(length));
  std::copy(payload.begin(), payload.end(), udp.begin() + kUdpHeaderLength);
  write_transport_checksum(datagram, at, kUdpChecksumAt);
  return datagram;
}

}  // namespace tovix
