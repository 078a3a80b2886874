#pragma once
// Connections the diversion kept from the network when its handle closed. Their applications'
// sockets may still send, and nothing of theirs may leave with the user's own address, so the
// system holds their packets back until the owner releases them once the sockets are gone.
// Linux: a firewall rule per connection answers its packets with a reset the application
// accepts; Windows: a handle that drops them.
#include <cstdint>
#include <vector>

#include "engine/divert/packet_divert_export.h"

namespace tovix {

// One TCP connection as its application sees it; addresses in host byte order.
struct TcpTuple {
  std::uint32_t local_addr = 0;
  std::uint16_t local_port = 0;
  std::uint32_t remote_addr = 0;
  std::uint16_t remote_port = 0;
  friend bool operator==(const TcpTuple&, const TcpTuple&) = default;
};

class PACKET_DIVERT_EXPORT HeldConnections {
 public:
  virtual ~HeldConnections();
  // The connections still held.
  virtual std::vector<TcpTuple> held() const = 0;
  // Stops holding these (their sockets are gone); the others stay held. Never throws.
  virtual void release(const std::vector<TcpTuple>& gone) noexcept = 0;
};

}  // namespace tovix
