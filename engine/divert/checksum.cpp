#include "engine/divert/checksum.h"

#include <array>
#include <bit>
#include <cstring>

namespace tovix {
namespace {

constexpr std::size_t IPV4_ADDRESSES_AT = 12;
constexpr std::size_t IPV6_ADDRESSES_AT = 8;

std::uint16_t fold_and_complement(std::uint64_t sum) {
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// HC' = ~(~HC + ~m + m') for each 16-bit word m that became m'.
std::uint16_t adjusted(std::uint16_t checksum, std::span<const std::uint16_t> before,
                       std::span<const std::uint16_t> after) {
  std::uint64_t sum = static_cast<std::uint16_t>(~checksum);
  for (std::size_t i = 0; i < before.size(); ++i) sum += static_cast<std::uint16_t>(~before[i]) + after[i];
  return fold_and_complement(sum);
}

}  // namespace

// Ones' complement sums do not depend on byte order (RFC 1071): the bytes are summed as native
// words with the carry wrapped around, folded to 16 bits, and turned to big-endian at the end.
// The bulk goes as 32-bit words into four 64-bit sums that cannot overflow (a packet has far
// fewer than 2^32 words) and do not wait on each other; the carries are folded in once.
std::uint64_t sum_words(std::span<const std::uint8_t> data) {
  const std::uint8_t* at = data.data();
  std::size_t left = data.size();
  std::array<std::uint64_t, 4> lanes{};
  while (left >= 16) {
    std::array<std::uint32_t, 4> words;
    std::memcpy(words.data(), at, sizeof words);
    for (std::size_t i = 0; i < lanes.size(); ++i) lanes[i] += words[i];
    at += sizeof words;
    left -= sizeof words;
  }
  std::uint64_t sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
  const auto add = [&sum](std::uint64_t word) {
    sum += word;
    sum += sum < word ? 1 : 0;
  };
  const auto take = [&]<typename Word>(Word word) {
    std::memcpy(&word, at, sizeof word);
    add(word);
    at += sizeof word;
    left -= sizeof word;
  };
  while (left >= 8) take(std::uint64_t{});
  if (left >= 4) take(std::uint32_t{});
  if (left >= 2) take(std::uint16_t{});
  // An odd last byte is the high half of a big-endian word padded with zero.
  if (left == 1) add(std::endian::native == std::endian::little ? std::uint64_t{*at} : std::uint64_t{*at} << 8);
  sum = (sum & 0xFFFFFFFF) + (sum >> 32);
  sum = (sum & 0xFFFFFFFF) + (sum >> 32);
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum = (sum & 0xFFFF) + (sum >> 16);
  auto folded = static_cast<std::uint16_t>(sum);
  if constexpr (std::endian::native == std::endian::little)
    folded = static_cast<std::uint16_t>((folded >> 8) | (folded << 8));
  return folded;
}

std::uint16_t internet_checksum(std::span<const std::uint8_t> data, std::uint32_t partial_sum) {
  return fold_and_complement(sum_words(data) + partial_sum);
}

void compute_checksums(Packet& packet) {
  const std::span<std::uint8_t> bytes = packet.mutable_bytes();
  std::uint64_t pseudo = 0;
  if (auto ip = packet.ipv4()) {
    const std::span<std::uint8_t> ip_header = bytes.first(ip->header_length());
    wire::store16(ip_header, IPV4_CHECKSUM_AT, 0);
    wire::store16(ip_header, IPV4_CHECKSUM_AT, internet_checksum(ip_header));
    packet.info().ip_checksum_valid = true;
    pseudo = sum_words(ip_header.subspan(IPV4_ADDRESSES_AT, 8));
  } else if (packet.ip_version() == 6 && packet.tcp()) {
    pseudo = sum_words(bytes.subspan(IPV6_ADDRESSES_AT, 32));
  } else {
    return;
  }
  const std::span<std::uint8_t> segment = packet.mutable_tcp_segment();
  if (segment.empty()) return;
  // Pseudo-header: source and destination address, zero and protocol, segment length.
  pseudo += Packet::PROTOCOL_TCP;
  pseudo += segment.size();
  wire::store16(segment, TCP_CHECKSUM_AT, 0);
  wire::store16(segment, TCP_CHECKSUM_AT, fold_and_complement(sum_words(segment) + pseudo));
  packet.info().tcp_checksum_valid = true;
}

bool retarget_ipv4_tcp(Packet& packet, const Ipv4TcpEndpoints& to) {
  auto ip = packet.ipv4();
  auto tcp = packet.tcp();
  if (!ip || !tcp) return false;
  const std::span<std::uint8_t> bytes = packet.mutable_bytes();
  const auto words = [&](std::uint32_t src, std::uint16_t src_port, std::uint32_t dst, std::uint16_t dst_port) {
    return std::array<std::uint16_t, 6>{static_cast<std::uint16_t>(src >> 16),
                                        static_cast<std::uint16_t>(src),
                                        static_cast<std::uint16_t>(dst >> 16),
                                        static_cast<std::uint16_t>(dst),
                                        src_port,
                                        dst_port};
  };
  const auto before = words(wire::load32(bytes, IPV4_ADDRESSES_AT), tcp->src_port(),
                            wire::load32(bytes, IPV4_ADDRESSES_AT + 4), tcp->dst_port());
  const auto after = words(to.src, to.src_port, to.dst, to.dst_port);
  wire::store32(bytes, IPV4_ADDRESSES_AT, to.src);
  wire::store32(bytes, IPV4_ADDRESSES_AT + 4, to.dst);
  tcp->set_src_port(to.src_port);
  tcp->set_dst_port(to.dst_port);
  CaptureInfo& info = packet.info();
  if (!info.ip_checksum_valid || !info.tcp_checksum_valid) return false;
  // The IPv4 header covers the addresses; the TCP checksum the addresses (pseudo-header) and ports.
  const std::span<std::uint8_t> segment = packet.mutable_tcp_segment();
  wire::store16(bytes, IPV4_CHECKSUM_AT,
                adjusted(wire::load16(bytes, IPV4_CHECKSUM_AT), std::span(before).first(4), std::span(after).first(4)));
  wire::store16(segment, TCP_CHECKSUM_AT, adjusted(wire::load16(segment, TCP_CHECKSUM_AT), before, after));
  return true;
}

}  // namespace tovix
