#pragma once
// One diverted packet: its raw bytes (an IPv4 or IPv6 datagram) and where it was captured.
// The IPv4 and TCP headers are views into those bytes; a packet whose headers are cut short
// or inconsistent simply has no view of that kind, so no accessor can read past the end.
// An IPv6 packet has a TCP view when TCP follows its fixed header directly.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/divert/packet_divert_export.h"

namespace tovix {

// What the capture layer reports with a packet; handed back unchanged to re-inject it.
struct CaptureInfo {
  bool outbound = true;
  bool loopback = false;
  bool impostor = false;
  // Whether the checksum in the bytes is known to be right (outbound packets may carry none
  // because the network card fills it in later).
  bool ip_checksum_valid = false;
  bool tcp_checksum_valid = false;
  bool udp_checksum_valid = false;
  std::uint32_t interface_index = 0;
  std::uint32_t subinterface_index = 0;
  std::int64_t timestamp = 0;
  // Only some capture layers know the originating process.
  std::optional<std::uint32_t> process_id;
};

// "a.b.c.d" from an address in host byte order, and back. parse_ipv4 accepts exactly four
// decimal parts of 0..255 without signs, spaces or leading zeros; anything else throws
// std::invalid_argument.
PACKET_DIVERT_EXPORT std::string format_ipv4(std::uint32_t address);
PACKET_DIVERT_EXPORT std::uint32_t parse_ipv4(std::string_view text);

namespace wire {
template <typename Byte>
std::uint16_t load16(std::span<Byte> bytes, std::size_t at) {
  return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}
template <typename Byte>
std::uint32_t load32(std::span<Byte> bytes, std::size_t at) {
  return (std::uint32_t{load16(bytes, at)} << 16) | load16(bytes, at + 2);
}
inline void store16(std::span<std::uint8_t> bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}
inline void store32(std::span<std::uint8_t> bytes, std::size_t at, std::uint32_t value) {
  store16(bytes, at, static_cast<std::uint16_t>(value >> 16));
  store16(bytes, at + 2, static_cast<std::uint16_t>(value));
}
}  // namespace wire

// The IPv4 header of a packet (options included). Byte is const for a read-only view.
template <typename Byte>
class BasicIpv4Header {
 public:
  static constexpr std::size_t MIN_LENGTH = 20;
  explicit BasicIpv4Header(std::span<Byte> header) : _header(header) {}

  std::size_t header_length() const { return _header.size(); }
  std::uint16_t total_length() const { return wire::load16(_header, 2); }
  std::uint8_t protocol() const { return _header[9]; }
  std::uint16_t checksum() const { return wire::load16(_header, 10); }
  std::string src_addr() const { return format_ipv4(wire::load32(_header, 12)); }
  std::string dst_addr() const { return format_ipv4(wire::load32(_header, 16)); }

  void set_src_addr(std::string_view dotted) requires(!std::is_const_v<Byte>) {
    wire::store32(_header, 12, parse_ipv4(dotted));
  }
  void set_dst_addr(std::string_view dotted) requires(!std::is_const_v<Byte>) {
    wire::store32(_header, 16, parse_ipv4(dotted));
  }

 private:
  std::span<Byte> _header;
};

// The TCP header of a packet (options included).
template <typename Byte>
class BasicTcpHeader {
 public:
  static constexpr std::size_t MIN_LENGTH = 20;
  explicit BasicTcpHeader(std::span<Byte> header) : _header(header) {}

  std::size_t header_length() const { return _header.size(); }
  std::uint16_t src_port() const { return wire::load16(_header, 0); }
  std::uint16_t dst_port() const { return wire::load16(_header, 2); }
  std::uint32_t seq() const { return wire::load32(_header, 4); }
  std::uint32_t ack_number() const { return wire::load32(_header, 8); }
  std::uint16_t checksum() const { return wire::load16(_header, 16); }
  bool fin() const { return flag(0x01); }
  bool syn() const { return flag(0x02); }
  bool rst() const { return flag(0x04); }
  bool psh() const { return flag(0x08); }
  bool ack() const { return flag(0x10); }

  void set_src_port(std::uint16_t port) requires(!std::is_const_v<Byte>) { wire::store16(_header, 0, port); }
  void set_dst_port(std::uint16_t port) requires(!std::is_const_v<Byte>) { wire::store16(_header, 2, port); }

 private:
  bool flag(std::uint8_t mask) const { return (_header[13] & mask) != 0; }
  std::span<Byte> _header;
};

using Ipv4Header = BasicIpv4Header<std::uint8_t>;
using ConstIpv4Header = BasicIpv4Header<const std::uint8_t>;
using TcpHeader = BasicTcpHeader<std::uint8_t>;
using ConstTcpHeader = BasicTcpHeader<const std::uint8_t>;

class PACKET_DIVERT_EXPORT Packet {
 public:
  static constexpr std::size_t IPV6_HEADER_LENGTH = 40;
  static constexpr std::uint8_t PROTOCOL_TCP = 6;

  explicit Packet(std::vector<std::uint8_t> bytes, CaptureInfo info = {});
  // The packet is `length` bytes of `storage` from `offset` on: a capture layer hands over the
  // buffer it received into, with whatever framing surrounds the packet, instead of a copy.
  // Throws std::out_of_range when they lie beyond the storage.
  Packet(std::vector<std::uint8_t> storage, std::size_t offset, std::size_t length, CaptureInfo info = {});

  std::span<const std::uint8_t> bytes() const { return std::span(_bytes).subspan(_offset, _length); }
  // The header layout is read once, here in the constructor: writing a length or protocol
  // field through these bytes does not change which views the packet offers.
  std::span<std::uint8_t> mutable_bytes() { return std::span(_bytes).subspan(_offset, _length); }

  // The storage the bytes live in, for the capture layer to receive into again; the packet is
  // left empty.
  std::vector<std::uint8_t> take_storage() &&;

  const CaptureInfo& info() const { return _info; }
  CaptureInfo& info() { return _info; }
  // The originating process, or 0 when the capture layer does not say.
  std::uint32_t process_id() const { return _info.process_id.value_or(0); }

  // 4 or 6 when the bytes hold a complete header of that version, otherwise 0.
  int ip_version() const { return _ip_version; }

  std::optional<Ipv4Header> ipv4();
  std::optional<ConstIpv4Header> ipv4() const;
  // Only for unfragmented IPv4 datagrams, and IPv6 packets without extension headers, whose
  // TCP header lies within the datagram.
  std::optional<TcpHeader> tcp();
  std::optional<ConstTcpHeader> tcp() const;

  // The TCP header and payload (what the TCP checksum covers); empty without a TCP view.
  std::span<const std::uint8_t> tcp_segment() const;
  std::span<std::uint8_t> mutable_tcp_segment();

 private:
  void read_layout();
  void read_ipv6_layout();
  void read_tcp_layout(std::size_t ip_length, std::size_t datagram_end);

  std::vector<std::uint8_t> _bytes;  // the storage; the packet is [_offset, _offset + _length)
  std::size_t _offset = 0;
  std::size_t _length = 0;
  CaptureInfo _info;
  int _ip_version = 0;
  std::size_t _ipv4_header_length = 0;  // 0: no IPv4 view
  std::size_t _ip_header_length = 0;    // where the TCP header starts
  std::size_t _tcp_header_length = 0;   // 0: no TCP view
  std::size_t _datagram_end = 0;        // the IPv4 total length, where the TCP payload ends
};

}  // namespace tovix
