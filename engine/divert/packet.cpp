#include "engine/divert/packet.h"

#include <stdexcept>

namespace tovix {

std::string format_ipv4(std::uint32_t address) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (!text.empty()) text += '.';
    text += std::to_string((address >> shift) & 0xFF);
  }
  return text;
}

std::uint32_t parse_ipv4(std::string_view text) {
  const auto fail = [&]() -> std::uint32_t {
    throw std::invalid_argument("not a dotted IPv4 address: \"" + std::string(text) + "\"");
  };
  std::uint32_t address = 0;
  std::size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (pos >= text.size() || text[pos] != '.') return fail();
      ++pos;
    }
    const std::size_t start = pos;
    unsigned value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
      value = value * 10 + static_cast<unsigned>(text[pos] - '0');
      ++pos;
    }
    const std::size_t digits = pos - start;
    if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return fail();
    address = (address << 8) | value;
  }
  if (pos != text.size()) return fail();
  return address;
}

Packet::Packet(std::vector<std::uint8_t> bytes, CaptureInfo info)
    : _bytes(std::move(bytes)), _length(_bytes.size()), _info(info) {
  read_layout();
}

Packet::Packet(std::vector<std::uint8_t> storage, std::size_t offset, std::size_t length, CaptureInfo info)
    : _bytes(std::move(storage)), _offset(offset), _length(length), _info(info) {
  if (offset > _bytes.size() || length > _bytes.size() - offset) {
    throw std::out_of_range("packet bytes beyond their storage");
  }
  read_layout();
}

std::vector<std::uint8_t> Packet::take_storage() && {
  std::vector<std::uint8_t> storage = std::move(_bytes);
  *this = Packet({});
  return storage;
}

void Packet::read_layout() {
  const std::span<const std::uint8_t> bytes = this->bytes();
  if (bytes.empty()) return;
  const int version = bytes[0] >> 4;
  if (version == 6) {
    read_ipv6_layout();
    return;
  }
  if (version != 4) return;
  const std::size_t ip_length = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
  if (ip_length < Ipv4Header::MIN_LENGTH || ip_length > bytes.size()) return;
  _ip_version = 4;
  _ipv4_header_length = ip_length;

  // A total length outside header..buffer leaves the payload's extent unknown, and a
  // fragment's checksum covers data we cannot see: neither gets a TCP view, so the engine
  // passes them on untouched.
  const std::size_t total = wire::load16(bytes, 2);
  if (total < ip_length || total > bytes.size()) return;
  if (bytes[9] != PROTOCOL_TCP) return;
  const std::uint16_t fragment = wire::load16(bytes, 6);
  if ((fragment & 0x3FFF) != 0) return;  // more-fragments flag or a fragment offset
  read_tcp_layout(ip_length, total);
}

void Packet::read_ipv6_layout() {
  const std::span<const std::uint8_t> bytes = this->bytes();
  if (bytes.size() < IPV6_HEADER_LENGTH) return;
  _ip_version = 6;
  // Extension headers (fragments among them) are left alone: such a packet has no TCP view.
  const std::size_t end = IPV6_HEADER_LENGTH + wire::load16(bytes, 4);
  if (bytes[6] != PROTOCOL_TCP || end > bytes.size()) return;
  read_tcp_layout(IPV6_HEADER_LENGTH, end);
}

void Packet::read_tcp_layout(std::size_t ip_length, std::size_t datagram_end) {
  const std::span<const std::uint8_t> bytes = this->bytes();
  if (datagram_end - ip_length < TcpHeader::MIN_LENGTH) return;
  const std::size_t tcp_length = static_cast<std::size_t>(bytes[ip_length + 12] >> 4) * 4;
  if (tcp_length < TcpHeader::MIN_LENGTH || tcp_length > datagram_end - ip_length) return;
  _ip_header_length = ip_length;
  _tcp_header_length = tcp_length;
  _datagram_end = datagram_end;
}

std::optional<Ipv4Header> Packet::ipv4() {
  if (_ipv4_header_length == 0) return std::nullopt;
  return Ipv4Header(mutable_bytes().first(_ipv4_header_length));
}

std::optional<ConstIpv4Header> Packet::ipv4() const {
  if (_ipv4_header_length == 0) return std::nullopt;
  return ConstIpv4Header(bytes().first(_ipv4_header_length));
}

std::optional<TcpHeader> Packet::tcp() {
  if (_tcp_header_length == 0) return std::nullopt;
  return TcpHeader(mutable_tcp_segment().first(_tcp_header_length));
}

std::optional<ConstTcpHeader> Packet::tcp() const {
  if (_tcp_header_length == 0) return std::nullopt;
  return ConstTcpHeader(tcp_segment().first(_tcp_header_length));
}

std::span<const std::uint8_t> Packet::tcp_segment() const {
  if (_tcp_header_length == 0) return {};
  return bytes().subspan(_ip_header_length, _datagram_end - _ip_header_length);
}

std::span<std::uint8_t> Packet::mutable_tcp_segment() {
  if (_tcp_header_length == 0) return {};
  return mutable_bytes().subspan(_ip_header_length, _datagram_end - _ip_header_length);
}

}  // namespace tovix
