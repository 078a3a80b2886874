#pragma once
// Which client ports the kernel must keep handing to the queue reader. A port joins when the
// engine rewrites a connection's SYN towards a relay (before that SYN is released, so the
// connection's next segment is already queued) and leaves only when a later connection on the
// same port is passed unchanged after the diverted one has ended (FIN both ways, or a reset):
// a port is never released while its diverted connection may still send.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "engine/divert/packet.h"
#include "engine/divert/packet_divert_export.h"

namespace tovix {

class PACKET_DIVERT_EXPORT DivertedPorts {
 public:
  enum class Change { add, remove };
  struct PortChange {
    Change change;
    std::uint16_t port;
  };

  // For a packet the engine sends back: `captured` as the kernel handed it over, `sent` as
  // the engine re-injects it. Returns the set update to make before the packet is released.
  std::optional<PortChange> on_send(const Packet& captured, const Packet& sent);

  bool contains(std::uint16_t port) const { return (_state[port] & IN_SET) != 0; }

 private:
  static constexpr std::uint8_t IN_SET = 0x01;
  static constexpr std::uint8_t CLIENT_FIN = 0x02;
  static constexpr std::uint8_t RELAY_FIN = 0x04;
  static constexpr std::uint8_t RESET = 0x08;

  bool _ended(std::uint16_t port) const {
    const std::uint8_t state = _state[port];
    return (state & RESET) != 0 || (state & (CLIENT_FIN | RELAY_FIN)) == (CLIENT_FIN | RELAY_FIN);
  }

  std::array<std::uint8_t, 65536> _state{};
};

// Whether two datagrams differ anywhere but in their IPv4 header and TCP checksum fields
// (which the engine recomputes also for packets it passes unchanged).
PACKET_DIVERT_EXPORT bool rewritten(std::span<const std::uint8_t> captured, const Packet& sent);

}  // namespace tovix
