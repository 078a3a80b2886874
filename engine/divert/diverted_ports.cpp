#include "engine/divert/diverted_ports.h"

#include <algorithm>

#include "engine/divert/checksum.h"

namespace tovix {
namespace {

constexpr std::size_t IPV4_SRC_AT = 12;
constexpr std::size_t IPV4_DST_AT = 16;
constexpr std::uint32_t FAKE_CLIENT_ADDR = 0x7F000002;  // 127.0.0.2
constexpr std::uint32_t RELAY_ADDR = 0x7F000001;        // 127.0.0.1

bool is_loopback(std::uint32_t address) { return (address >> 24) == 127; }

}  // namespace

CapturedHeaders::CapturedHeaders(const Packet& packet) : _length(packet.bytes().size()) {
  std::size_t keep = std::min(_length, CAPACITY);
  const auto ip = packet.ipv4();
  const auto tcp = packet.tcp();
  if (ip && tcp) {
    _tcp_at = ip->header_length();
    _tcp_length = tcp->header_length();
    keep = _tcp_at + _tcp_length;
  }
  _head_length = keep;
  std::copy_n(packet.bytes().begin(), keep, _head.begin());
}

std::optional<ConstTcpHeader> CapturedHeaders::ipv4_tcp() const {
  if (_tcp_at == 0) return std::nullopt;
  return ConstTcpHeader(head().subspan(_tcp_at, _tcp_length));
}

bool rewritten(const CapturedHeaders& captured_headers, const Packet& sent) {
  const std::span<const std::uint8_t> bytes = sent.bytes();
  const std::span<const std::uint8_t> captured = captured_headers.head();
  if (bytes.size() != captured_headers.length()) return true;
  const auto differs = [&](std::size_t from, std::size_t to) {
    to = std::min(to, captured.size());
    return from < to && !std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(to),
                                    captured.begin() + static_cast<std::ptrdiff_t>(from));
  };
  const auto ip = sent.ipv4();
  if (!ip) return differs(0, bytes.size());
  std::size_t skip_from = IPV4_CHECKSUM_AT;
  std::size_t tcp_at = bytes.size();
  if (sent.tcp()) tcp_at = ip->header_length() + TCP_CHECKSUM_AT;
  if (differs(0, skip_from) || differs(skip_from + 2, tcp_at)) return true;
  return differs(tcp_at + 2, bytes.size());
}

DivertedPorts::Connection* DivertedPorts::_find(std::uint16_t port, std::uint32_t dst, std::uint16_t dst_port) {
  auto it = _connections.find(port);
  if (it == _connections.end()) return nullptr;
  for (Connection& connection : it->second)
    if (connection.dst == dst && connection.dst_port == dst_port) return &connection;
  return nullptr;
}

bool DivertedPorts::_all_ended(std::uint16_t port) const {
  auto it = _connections.find(port);
  if (it == _connections.end()) return true;
  return std::all_of(it->second.begin(), it->second.end(), [](const Connection& c) { return c.ended(); });
}

std::optional<DivertedPorts::PortChange> DivertedPorts::on_send(const CapturedHeaders& captured, const Packet& sent) {
  const auto tcp = captured.ipv4_tcp();
  if (!tcp) return std::nullopt;
  const bool changed = rewritten(captured, sent);
  const std::uint32_t src = wire::load32(captured.head(), IPV4_SRC_AT);
  const std::uint32_t dst = wire::load32(captured.head(), IPV4_DST_AT);
  const bool opens = tcp->syn() && !tcp->ack();

  if (!is_loopback(src)) {
    const std::uint16_t port = tcp->src_port();
    if (changed && opens) {
      auto& connections = _connections[port];
      std::erase_if(connections, [](const Connection& c) { return c.ended(); });
      if (Connection* known = _find(port, dst, tcp->dst_port())) {
        known->state = 0;
      } else {
        connections.push_back({dst, tcp->dst_port(), 0});
      }
      if (_in_set[port]) return std::nullopt;
      _in_set[port] = true;
      return PortChange{Change::add, port};
    }
    if (changed) {
      Connection* connection = _find(port, dst, tcp->dst_port());
      if (connection == nullptr) return std::nullopt;
      if (tcp->fin()) connection->state |= CLIENT_FIN;
      // The application's own reset, or the engine's answer to it with a reset.
      const auto answer = sent.tcp();
      if (tcp->rst() || (answer && answer->rst())) connection->state |= RESET;
      return std::nullopt;
    }
    if (opens && _in_set[port] && _all_ended(port)) {
      _in_set[port] = false;
      _connections.erase(port);
      return PortChange{Change::remove, port};
    }
    return std::nullopt;
  }

  // A relay's reply on its way back to the application it names.
  if (!changed || src != RELAY_ADDR || dst != FAKE_CLIENT_ADDR) return std::nullopt;
  const auto back = sent.tcp();
  if (!back || !sent.ipv4()) return std::nullopt;
  Connection* connection = _find(back->dst_port(), wire::load32(sent.bytes(), IPV4_SRC_AT), back->src_port());
  if (connection == nullptr) return std::nullopt;
  if (back->fin()) connection->state |= RELAY_FIN;
  if (back->rst()) connection->state |= RESET;
  return std::nullopt;
}

}  // namespace tovix
