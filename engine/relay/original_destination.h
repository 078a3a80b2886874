#pragma once
// Where a connection the system redirected to a relay was going before it was redirected.
#include <optional>

#include "common/socket.h"
#include "engine/relay/relay_hub_export.h"

namespace tovix {

// The destination the connection's first packet named, when the system redirected it to this
// socket's address; nothing for a connection made to the relay itself (or where the system
// redirects nothing).
RELAY_HUB_EXPORT std::optional<SocketAddress> redirected_from(const Socket& accepted);

}  // namespace tovix
