#include "engine/divert/checksum.h"

namespace tovix {
namespace {

constexpr std::size_t IPV4_ADDRESSES_AT = 12;
constexpr std::size_t IPV6_ADDRESSES_AT = 8;

std::uint16_t fold_and_complement(std::uint64_t sum) {
  while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

std::uint64_t sum_words(std::span<const std::uint8_t> data) {
  std::uint64_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < data.size(); i += 2) sum += wire::load16(data, i);
  if (i < data.size()) sum += std::uint64_t{data[i]} << 8;
  return sum;
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

}  // namespace tovix
