#include "engine/divert/ip_layout.h"

#include <stdexcept>

#include "engine/divert/checksum.h"
#include "engine/divert/packet.h"

namespace tovix {
namespace {

constexpr std::size_t kIpv6HeaderLength = 40;
constexpr std::uint8_t kHopByHop = 0, kRouting = 43, kFragment = 44, kDestinationOptions = 60;

std::optional<IpLayout> read_ipv4(std::span<const std::uint8_t> bytes) {
  const std::size_t header_length = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
  if (header_length < 20 || header_length > bytes.size()) return std::nullopt;
  const std::size_t total = wire::load16(bytes, 2);
  if (total < header_length || total > bytes.size()) return std::nullopt;
  IpLayout layout;
  layout.source = IpAddress::from_bytes(bytes.subspan(12, 4));
  layout.destination = IpAddress::from_bytes(bytes.subspan(16, 4));
  layout.protocol = bytes[9];
  layout.transport_at = header_length;
  layout.datagram_end = total;
  const std::uint16_t fragment = wire::load16(bytes, 6);
  layout.later_fragment = (fragment & 0x1FFF) != 0;
  layout.fragmented = (fragment & 0x3FFF) != 0;
  return layout;
}

std::optional<IpLayout> read_ipv6(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kIpv6HeaderLength) return std::nullopt;
  const std::size_t end = kIpv6HeaderLength + wire::load16(bytes, 4);
  if (end > bytes.size()) return std::nullopt;
  IpLayout layout;
  layout.source = IpAddress::from_bytes(bytes.subspan(8, 16));
  layout.destination = IpAddress::from_bytes(bytes.subspan(24, 16));
  layout.datagram_end = end;
  std::uint8_t next = bytes[6];
  std::size_t at = kIpv6HeaderLength;
  for (;;) {
    if (next == kHopByHop || next == kRouting || next == kDestinationOptions) {
      if (at + 8 > end) return std::nullopt;
      const std::size_t length = (static_cast<std::size_t>(bytes[at + 1]) + 1) * 8;
      next = bytes[at];
      at += length;
      if (at > end) return std::nullopt;
      continue;
    }
    if (next == kFragment) {
      if (at + 8 > end) return std::nullopt;
      const std::uint16_t offset_and_flags = wire::load16(bytes, at + 2);
      layout.fragmented = true;
      layout.later_fragment = (offset_and_flags & 0xFFF8) != 0;
      next = bytes[at];
      at += 8;
      continue;
    }
    break;
  }
  layout.protocol = next;
  layout.transport_at = at;
  return layout;
}

}  // namespace

std::optional<IpLayout> read_ip_layout(std::span<const std::uint8_t> datagram) {
  if (datagram.empty()) return std::nullopt;
  switch (datagram[0] >> 4) {
    case 4:
      return read_ipv4(datagram);
    case 6:
      return read_ipv6(datagram);
    default:
      return std::nullopt;
  }
}

std::size_t ip_header_length(const IpAddress& address) { return address.is_v4() ? 20 : kIpv6HeaderLength; }

std::vector<std::uint8_t> new_ip_datagram(const IpAddress& source, const IpAddress& destination, std::uint8_t protocol,
                                          std::size_t transport_length) {
  if (source.family() != destination.family()) throw std::invalid_argument("addresses of different IP versions");
  const std::size_t header_length = ip_header_length(source);
  const std::size_t limit = source.is_v4() ? 0xFFFF - header_length : 0xFFFF;
  if (transport_length > limit) throw std::invalid_argument("datagram too large");
  std::vector<std::uint8_t> datagram(header_length + transport_length);
  const std::span<std::uint8_t> bytes(datagram);
  const auto put_address = [&](std::size_t at, const IpAddress& address) {
    const auto raw = address.bytes();
    std::copy(raw.begin(), raw.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
  };
  if (source.is_v4()) {
    bytes[0] = 0x45;
    wire::store16(bytes, 2, static_cast<std::uint16_t>(datagram.size()));
    bytes[8] = DEFAULT_HOP_LIMIT;
    bytes[9] = protocol;
    put_address(12, source);
    put_address(16, destination);
    wire::store16(bytes, 10, internet_checksum(bytes.first(header_length)));
  } else {
    bytes[0] = 0x60;
    wire::store16(bytes, 4, static_cast<std::uint16_t>(transport_length));
    bytes[6] = protocol;
    bytes[7] = DEFAULT_HOP_LIMIT;
    put_address(8, source);
    put_address(24, destination);
  }
  return datagram;
}

void write_transport_checksum(std::span<std::uint8_t> datagram, std::size_t transport_at, std::size_t checksum_at) {
  const auto layout = read_ip_layout(datagram);
  if (!layout) throw std::invalid_argument("not an IP datagram");
  const std::span<std::uint8_t> message = datagram.subspan(transport_at, layout->datagram_end - transport_at);
  wire::store16(message, checksum_at, 0);
  std::uint32_t pseudo = 0;
  if (layout->protocol != IP_PROTOCOL_ICMP) {
    // Addresses are at most 16 bytes: their sums fit 32 bits.
    pseudo = static_cast<std::uint32_t>(sum_words(layout->source.bytes()) + sum_words(layout->destination.bytes())) +
             layout->protocol;
    pseudo += static_cast<std::uint32_t>(message.size() >> 16) + static_cast<std::uint32_t>(message.size() & 0xFFFF);
  }
  std::uint16_t checksum = internet_checksum(message, pseudo);
  // UDP sends an all-zero result as all ones: zero there means "no checksum".
  if (checksum == 0 && layout->protocol == IP_PROTOCOL_UDP) checksum = 0xFFFF;
  wire::store16(message, checksum_at, checksum);
}

bool is_group_or_unspecified(const IpAddress& address) {
  const auto bytes = address.bytes();
  if (address.is_unspecified()) return true;
  if (address.is_v4()) {
    return (bytes[0] & 0xF0) == 0xE0 || (bytes[0] == 255 && bytes[1] == 255 && bytes[2] == 255 && bytes[3] == 255);
  }
  return bytes[0] == 0xFF;
}

}  // namespace tovix
