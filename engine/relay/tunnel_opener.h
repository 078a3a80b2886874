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
  // Asked of the proxy in place of dst_ip when set; dst_ip once more when the proxy cannot
  // resolve it.
  std::string host_name;
  bool direct = false;  // no proxy: `proxy` is not used
  ProxySettings proxy;
  // The client, for its first bytes once the tunnel stands. While the handshake runs the loop
  // leaves it open (it only shuts it down), so the job may read it.
  std::shared_ptr<Socket> client;
  // What the loop read of the client before the handshake: sent first, unchanged.
  std::string first_bytes;
};

// What a handshake job hands back to the loop.
struct OpenedTunnel {
  std::uint64_t connection_id = 0;
  std::shared_ptr<Socket> upstream;  // null: no tunnel
  std::uint64_t forwarded = 0;       // client bytes already sent through it
  std::string unsent;                // client bytes received that the upstream did not take yet
  std::string received;              // upstream bytes that came with its handshake's last answer
};

// The pool's name for the upstream an order goes through.
std::string upstream_key(const TunnelOrder& order);

// The tunnel's socket, or null when it could not be opened (logged here). `abandoned` tells that
// the connection ended meanwhile (its client went, or the relay stopped): a failure then says
// nothing about the proxy and is not reported.
std::shared_ptr<Socket> open_tunnel(const RelayContext& context, const TunnelOrder& order,
                                    const std::atomic<bool>& abandoned);

// Makes an opened tunnel's socket ready for the event loop (non-blocking, no delay of its own,
// the relay's buffer sizes where set) and sends on what the client has said so far, so the first
// bytes travel while the loop takes the connection over. False when the socket could not be
// made ready; it is closed then.
bool prime_tunnel(RelayContext& context, const TunnelOrder& order, OpenedTunnel& tunnel);

// The whole handshake job for handlers that can only block: opens the tunnel, makes its socket ready for the event loop
// (non-blocking, no delay of its own, the relay's buffer sizes where set), and sends on what the
// client has said so far, so the first bytes travel while the loop takes the connection over.
OpenedTunnel open_and_prime_tunnel(RelayContext& context, const TunnelOrder& order, const std::atomic<bool>& abandoned);

}  // namespace tovix
