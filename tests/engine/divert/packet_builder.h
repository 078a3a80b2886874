#pragma once
// Builds IPv4/TCP packets byte by byte, independently of the code under test, and checks
// Internet checksums with a second implementation of RFC 1071.
#include <cstdint>
#include <string>
#include <vector>

namespace tovix::testing {

struct TcpFields {
  std::uint8_t src[4] = {10, 0, 0, 5};
  std::uint8_t dst[4] = {93, 184, 216, 34};
  std::uint16_t src_port = 50123;
  std::uint16_t dst_port = 443;
  std::uint8_t flags = 0x02;  // SYN
  std::uint32_t seq = 0x12345678;
  std::uint32_t ack = 0;
  std::vector<std::uint8_t> ip_options;   // length a multiple of 4
  std::vector<std::uint8_t> tcp_options;  // length a multiple of 4
  std::vector<std::uint8_t> payload;
};

// A complete IPv4 datagram with both checksums left at zero.
std::vector<std::uint8_t> build_ipv4_tcp(const TcpFields& fields);
// An IPv4 datagram carrying a minimal UDP header and `payload`.
std::vector<std::uint8_t> build_ipv4_udp(const std::vector<std::uint8_t>& payload);
// An IPv6 packet whose next header is TCP, with a 20-byte TCP header.
std::vector<std::uint8_t> build_ipv6_tcp();

struct Tcp6Fields {
  std::uint8_t src[16] = {0xfd, 0x00, 0x7e, 0x57, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  std::uint8_t dst[16] = {0xfd, 0x00, 0x7e, 0x57, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  std::uint16_t src_port = 50123;
  std::uint16_t dst_port = 443;
  std::uint8_t flags = 0x02;  // SYN
  std::uint32_t seq = 0x12345678;
  std::uint32_t ack = 0;
  std::uint8_t next_header = 6;  // TCP; anything else stands for an extension header
  std::vector<std::uint8_t> payload;
};
// An IPv6 packet carrying a 20-byte TCP header and the payload, its checksum left at zero.
std::vector<std::uint8_t> build_ipv6_tcp(const Tcp6Fields& fields);

// Offsets inside a datagram built without IP options.
inline constexpr std::size_t IP_CHECKSUM = 10;
inline constexpr std::size_t IP_SRC = 12;
inline constexpr std::size_t IP_DST = 16;

// Checksum of `data` computed over little-endian word pairs and swapped at the end (the sum is
// byte-order independent, RFC 1071 section 2(B)).
std::uint16_t reference_checksum(const std::vector<std::uint8_t>& data);
// The reference IPv4 header checksum and TCP checksum (pseudo-header included) that `bytes`
// should carry, computed with the checksum fields taken as zero.
std::uint16_t expected_ip_checksum(const std::vector<std::uint8_t>& bytes);
std::uint16_t expected_tcp_checksum(const std::vector<std::uint8_t>& bytes);
// The same for an IPv6 packet without extension headers.
std::uint16_t expected_tcp6_checksum(const std::vector<std::uint8_t>& bytes);
std::uint16_t read16(const std::vector<std::uint8_t>& bytes, std::size_t at);

}  // namespace tovix::testing
