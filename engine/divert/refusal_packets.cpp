#include "engine/divert/refusal_packets.h"

#include <algorithm>

#include "engine/divert/ip_layout.h"

namespace tovix {
namespace {

constexpr std::size_t kIcmpHeaderLength = 8;  // type, code, checksum, 4 unused bytes
constexpr std::size_t kIcmpChecksumAt = 2;
constexpr std::uint8_t kIcmpUnreachable = 3, kIcmpPortUnreachable = 3;
constexpr std::uint8_t kIcmpv6Unreachable = 1, kIcmpv6PortUnreachable = 4;
// The smallest link MTU IPv6 guarantees; an ICMPv6 error must fit in it.
constexpr std::size_t kIpv6MinimumMtu = 1280;
constexpr std::size_t kIpv4QuotedPayload = 8;

constexpr std::size_t kTcpHeaderLength = 20;
constexpr std::size_t kTcpChecksumAt = 16;
constexpr std::uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kAck = 0x10;

Packet answer_packet(std::vector<std::uint8_t> bytes, const Packet& offending) {
  CaptureInfo info = offending.info();
  info.outbound = !info.outbound;
  info.impostor = false;
  info.ip_checksum_valid = info.tcp_checksum_valid = info.udp_checksum_valid = true;
  info.process_id.reset();
  return Packet(std::move(bytes), info);
}

}  // namespace

std::optional<std::vector<std::uint8_t>> build_port_unreachable(std::span<const std::uint8_t> offending) {
  const auto layout = read_ip_layout(offending);
  if (!layout || layout->protocol != IP_PROTOCOL_UDP || layout->later_fragment) return std::nullopt;
  if (is_group_or_unspecified(layout->destination) || is_group_or_unspecified(layout->source)) return std::nullopt;
  const bool v4 = layout->source.is_v4();
  const std::size_t header = ip_header_length(layout->source);
  const std::size_t quoted = v4 ? std::min(layout->transport_at + kIpv4QuotedPayload, layout->datagram_end)
                                : std::min(layout->datagram_end, kIpv6MinimumMtu - header - kIcmpHeaderLength);
  auto answer = new_ip_datagram(layout->destination, layout->source, v4 ? IP_PROTOCOL_ICMP : IP_PROTOCOL_ICMPV6,
                                kIcmpHeaderLength + quoted);
  answer[header] = v4 ? kIcmpUnreachable : kIcmpv6Unreachable;
  answer[header + 1] = v4 ? kIcmpPortUnreachable : kIcmpv6PortUnreachable;
  std::copy_n(offending.begin(), quoted, answer.begin() + static_cast<std::ptrdiff_t>(header + kIcmpHeaderLength));
  write_transport_checksum(answer, header, kIcmpChecksumAt);
  return answer;
}

std::optional<std::vector<std::uint8_t>> build_tcp_reset(std::span<const std::uint8_t> offending) {
  const auto layout = read_ip_layout(offending);
  if (!layout || layout->protocol != IP_PROTOCOL_TCP || layout->fragmented) return std::nullopt;
  if (layout->transport_at + kTcpHeaderLength > layout->datagram_end) return std::nullopt;
  const auto segment = offending.subspan(layout->transport_at, layout->datagram_end - layout->transport_at);
  const std::size_t data_offset = static_cast<std::size_t>(segment[12] >> 4) * 4;
  const std::uint8_t flags = segment[13];
  if (data_offset < kTcpHeaderLength || data_offset > segment.size() || (flags & kRst) != 0) return std::nullopt;

  auto answer = new_ip_datagram(layout->destination, layout->source, IP_PROTOCOL_TCP, kTcpHeaderLength);
  const std::size_t header = ip_header_length(layout->source);
  const std::span<std::uint8_t> tcp = std::span(answer).subspan(header);
  wire::store16(tcp, 0, wire::load16(segment, 2));
  wire::store16(tcp, 2, wire::load16(segment, 0));
  if ((flags & kAck) != 0) {
    wire::store32(tcp, 4, wire::load32(segment, 8));
    tcp[13] = kRst;
  } else {
    const std::uint32_t carried =
        static_cast<std::uint32_t>(segment.size() - data_offset) + ((flags & kSyn) ? 1 : 0) + ((flags & kFin) ? 1 : 0);
    wire::store32(tcp, 8, wire::load32(segment, 4) + carried);
    tcp[13] = kRst | kAck;
  }
  tcp[12] = static_cast<std::uint8_t>((kTcpHeaderLength / 4) << 4);
  write_transport_checksum(answer, header, kTcpChecksumAt);
  return answer;
}

std::optional<Packet> port_unreachable_for(const Packet& offending) {
  auto bytes = build_port_unreachable(offending.bytes());
  if (!bytes) return std::nullopt;
  return answer_packet(std::move(*bytes), offending);
}

std::optional<Packet> tcp_reset_for(const Packet& offending) {
  auto bytes = build_tcp_reset(offending.bytes());
  if (!bytes) return std::nullopt;
  return answer_packet(std::move(*bytes), offending);
}

}  // namespace tovix
