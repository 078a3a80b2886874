#include "engine/divert/tcp_reset.h"

#include <algorithm>
#include <stdexcept>

#include "engine/divert/checksum.h"

namespace tovix {
namespace {

constexpr std::uint8_t FLAG_RST = 0x04;
constexpr std::uint8_t FLAG_ACK = 0x10;
constexpr std::uint8_t DEFAULT_TTL = 64;
constexpr std::size_t TCP_LENGTH = 20;

}  // namespace

Packet reset_answering(const Packet& segment) {
  const auto tcp = segment.tcp();
  if (!tcp) throw std::invalid_argument("a reset answers a TCP segment");
  const std::span<const std::uint8_t> in = segment.bytes();
  const bool v6 = segment.ip_version() == 6;
  const std::size_t ip_length = v6 ? Packet::IPV6_HEADER_LENGTH : 20;
  std::vector<std::uint8_t> out(ip_length + TCP_LENGTH, 0);
  const std::span<std::uint8_t> bytes(out);
  if (v6) {
    bytes[0] = 0x60;
    wire::store16(bytes, 4, static_cast<std::uint16_t>(TCP_LENGTH));
    bytes[6] = Packet::PROTOCOL_TCP;
    bytes[7] = DEFAULT_TTL;
    std::copy_n(in.begin() + 24, 16, out.begin() + 8);  // from the segment's destination
    std::copy_n(in.begin() + 8, 16, out.begin() + 24);  // back to its source
  } else {
    bytes[0] = 0x45;
    wire::store16(bytes, 2, static_cast<std::uint16_t>(out.size()));
    wire::store16(bytes, 6, 0x4000);  // don't fragment
    bytes[8] = DEFAULT_TTL;
    bytes[9] = Packet::PROTOCOL_TCP;
    std::copy_n(in.begin() + 16, 4, out.begin() + 12);
    std::copy_n(in.begin() + 12, 4, out.begin() + 16);
  }
  const std::span<std::uint8_t> reset = bytes.subspan(ip_length);
  wire::store16(reset, 0, tcp->dst_port());
  wire::store16(reset, 2, tcp->src_port());
  if (tcp->ack()) {
    wire::store32(reset, 4, tcp->ack_number());
    reset[13] = FLAG_RST;
  } else {
    const std::size_t payload = segment.tcp_segment().size() - tcp->header_length();
    const std::uint32_t carried = static_cast<std::uint32_t>(payload) + (tcp->syn() ? 1u : 0u) + (tcp->fin() ? 1u : 0u);
    wire::store32(reset, 8, tcp->seq() + carried);
    reset[13] = FLAG_RST | FLAG_ACK;
  }
  reset[12] = static_cast<std::uint8_t>((TCP_LENGTH / 4) << 4);
  CaptureInfo info = segment.info();
  info.outbound = false;  // towards the application's own socket
  info.impostor = false;
  Packet answer(std::move(out), info);
  compute_checksums(answer);
  return answer;
}

}  // namespace tovix
