#pragma once
// The handshake step of a relayed connection, run on a handshake thread: the upstream the loop
// chose is asked for a tunnel to the destination, and the outcome goes to the observer.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/socket.h"
#include "engine/relay/proxy_settings.h"
#include "engine/relay/relay_context.h"

namespace tovix {

struct TunnelOrder {
  std::uint64_t connection_id = 0;
  std::string dst_ip;
  int dst_port = 0;
  bool direct = false;  // no proxy: `proxy` is not used
  ProxySettings proxy;
};

// The pool's name for the upstream an order goes through.
std::string upstream_key(const TunnelOrder& order);

// The tunnel's socket, or null when it could not be opened (logged here). `abandoned` tells that
// the connection ended meanwhile (its client went, or the relay stopped): a failure then says
// nothing about the proxy and is not reported.
std::shared_ptr<Socket> open_tunnel(const RelayContext& context, const TunnelOrder& order,
                                    const std::atomic<bool>& abandoned);

// Makes a tunnel's socket ready for the event loop: non-blocking, no delay of its own, and the
// relay's buffer sizes where set. False (the socket closed) when the system refuses.
bool prepare_for_loop(Socket& upstream, int socket_buffer_bytes) noexcept;

}  // namespace tovix
