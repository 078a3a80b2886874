#pragma once
// Which client ports the kernel must keep handing to the queue reader. A port joins when the
// engine rewrites a connection's SYN towards a relay (before that SYN is released, so the
// connection's next segment is already queued) and leaves only when a later connection on the
// same port is passed unchanged after every diverted connection on it has ended (FIN both ways,
// or a reset): a port is never released while a diverted connection on it may still send.
// Connections are told apart by their destination, since one local port may carry several.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "engine/divert/packet.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

// What a capture layer keeps of a packet it handed out: its length and its first bytes, through
// the end of its TCP header. The engine rewrites headers only, so these tell whether the packet
// sent back was rewritten, without a copy of its payload.
class PACKET_DIVERT_EXPORT CapturedHeaders {
 public:
  static constexpr std::size_t CAPACITY = 128;  // the longest IPv4 and TCP headers, with options

  // Implicit: a packet as captured stands for its headers.
  CapturedHeaders(const Packet& packet);  // NOLINT(google-explicit-constructor)

  // The bytes kept: the whole packet when it is short.
  std::span<const std::uint8_t> head() const { return std::span(_head).first(_head_length); }
  std::size_t length() const { return _length; }
  // The TCP header of an IPv4 TCP packet.
  std::optional<ConstTcpHeader> ipv4_tcp() const;

 private:
  std::array<std::uint8_t, CAPACITY> _head{};
  std::size_t _head_length = 0;
  std::size_t _length = 0;
  std::size_t _tcp_at = 0;      // 0: not an IPv4 TCP packet
  std::size_t _tcp_length = 0;
};

class PACKET_DIVERT_EXPORT DivertedPorts {
 public:
  enum class Change { add, remove };
  struct PortChange {
    Change change;
    std::uint16_t port;
  };

  // For a packet the engine sends back: `captured` as the kernel handed it over, `sent` as
  // the engine re-injects it. Returns the set update to make before the packet is released.
  std::optional<PortChange> on_send(const CapturedHeaders& captured, const Packet& sent);

  bool contains(std::uint16_t port) const { return _in_set[port]; }

 private:
  static constexpr std::uint8_t CLIENT_FIN = 0x01;
  static constexpr std::uint8_t RELAY_FIN = 0x02;
  static constexpr std::uint8_t RESET = 0x04;

  // One diverted connection on a port, by its destination.
  struct Connection {
    std::uint32_t dst = 0;
    std::uint16_t dst_port = 0;
    std::uint8_t state = 0;
    bool ended() const {
      return (state & RESET) != 0 || (state & (CLIENT_FIN | RELAY_FIN)) == (CLIENT_FIN | RELAY_FIN);
    }
  };

  Connection* _find(std::uint16_t port, std::uint32_t dst, std::uint16_t dst_port);
  bool _all_ended(std::uint16_t port) const;

  std::array<bool, 65536> _in_set{};
  std::unordered_map<std::uint16_t, std::vector<Connection>> _connections;
};

// Whether the packet sent back differs from the captured one in its length or anywhere in the
// bytes kept but the IPv4 header and TCP checksum fields (which the engine recomputes also for
// packets it passes unchanged).
PACKET_DIVERT_EXPORT bool rewritten(const CapturedHeaders& captured, const Packet& sent);

}  // namespace tovix
