#pragma once
// Whether the program at the client end of a relayed connection still holds its socket. A client
// that only ended its sending side may still wait for the answer; one that closed its socket for
// good will take nothing more, so the relay need not keep the upstream waiting for it.
#include <optional>

#include "common/socket.h"
#include "engine/relay/relay_hub_export.h"

namespace tovix {

// For the TCP socket of this machine whose own address is `local` and whose peer is `remote`:
// true when no program holds it any more (closed, the system finishing it alone), false while
// one does; nothing when there is no such socket or the system cannot tell.
RELAY_HUB_EXPORT std::optional<bool> application_closed(const SocketAddress& local, const SocketAddress& remote);

}  // namespace tovix
