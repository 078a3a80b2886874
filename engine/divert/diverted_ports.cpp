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

bool rewritten(std::span<const std::uint8_t> captured, const Packet& sent) {
  const std::span<const std::uint8_t> bytes = sent.bytes();
  if (bytes.size() != captured.size()) return true;
  const auto differs = [&](std::size_t from, std::size_t to) {
    to = std::min(to, bytes.size());
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

std::optional<DivertedPorts::PortChange> DivertedPorts::on_send(const Packet& captured, const Packet& sent) {
  const auto ip = captured.ipv4();
  const auto tcp = captured.tcp();
  if (!ip || !tcp) return std::nullopt;
  const bool changed = rewritten(captured.bytes(), sent);
  const std::uint32_t src = wire::load32(captured.bytes(), IPV4_SRC_AT);
  const std::uint32_t dst = wire::load32(captured.bytes(), IPV4_DST_AT);
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
