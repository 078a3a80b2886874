#include "engine/relay/original_destination.h"

namespace tovix {

// WinDivert rewrites every packet itself: no connection arrives redirected by the system.
std::optional<SocketAddress> redirected_from(const Socket&) { return std::nullopt; }

}  // namespace tovix
