#include "engine/divert/diverted_ports.h"

#include <algorithm>
#include <string_view>

namespace tovix {
namespace {

constexpr std::size_t IPV4_CHECKSUM_AT = 10;
constexpr std::size_t TCP_CHECKSUM_AT = 16;
constexpr std::string_view FAKE_CLIENT_IP = "127.0.0.2";
constexpr std::string_view RELAY_IP = "127.0.0.1";

bool is_loopback(const std::string& address) { return address.starts_with("127."); }

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

std::optional<DivertedPorts::PortChange> DivertedPorts::on_send(const Packet& captured, const Packet& sent) {
  const auto ip = captured.ipv4();
  const auto tcp = captured.tcp();
  if (!ip || !tcp) return std::nullopt;
  const bool changed = rewritten(captured.bytes(), sent);
  const std::string src = ip->src_addr();
  const bool opens = tcp->syn() && !tcp->ack();

  if (!is_loopback(src)) {
    const std::uint16_t port = tcp->src_port();
    if (changed) {
      if (opens) {
        const bool known = contains(port);
        _state[port] = IN_SET;
        if (!known) return PortChange{Change::add, port};
        return std::nullopt;
      }
      if (tcp->fin()) _state[port] |= CLIENT_FIN;
      if (tcp->rst()) _state[port] |= RESET;
      return std::nullopt;
    }
    if (opens && contains(port) && _ended(port)) {
      _state[port] = 0;
      return PortChange{Change::remove, port};
    }
    return std::nullopt;
  }

  // A relay's reply on its way back to the application whose port it names.
  if (changed && src == RELAY_IP && ip->dst_addr() == FAKE_CLIENT_IP) {
    const std::uint16_t port = tcp->dst_port();
    if (!contains(port)) return std::nullopt;
    if (tcp->fin()) _state[port] |= RELAY_FIN;
    if (tcp->rst()) _state[port] |= RESET;
  }
  return std::nullopt;
}

}  // namespace tovix
