#pragma once
// The event loop of one relay: one thread that accepts, admits and copies for every connection
// of the relay, without a thread or a buffer per connection. Each connection passes these steps:
//
//   accept → admit (only connections the engine diverted) → destination from the NAT table
//   → first bytes (the host name read from them, at most SNIFF_WAIT; kept and sent on unchanged)
//   → choose the upstream (the chooser hook, or the relay's own proxy)
//   → handshake (on the loop, without blocking; the handshake threads look up a proxy's host
//     name, and run the handshakes of handlers that can only block) → copy both ways → drain
//
// Every step runs on the loop thread and never blocks it.
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "common/socket.h"
#include "engine/relay/event_poller.h"
#include "engine/relay/handshake_pool.h"
#include "engine/relay/relay_connection.h"
#include "engine/relay/relay_context.h"
#include "engine/relay/tunnel_handshake.h"
#include "engine/relay/tunnel_opener.h"

namespace tovix {

class RelayLoop {
 public:
  // `admitted_ip`: the source address of the engine's rewritten connections; besides them only
  // connections the system redirected here are carried.
  RelayLoop(std::shared_ptr<RelayContext> context, std::shared_ptr<Socket> listener, std::string admitted_ip);
  ~RelayLoop();
  RelayLoop(const RelayLoop&) = delete;
  RelayLoop& operator=(const RelayLoop&) = delete;

  // The loop thread's body. Returns after request_stop(), every connection ended.
  void run();
  // From any thread; the first request decides whether clients are reset or ended in order.
  void request_stop(bool reset_clients) noexcept;

  // From any thread: each connection from accept until it is finished, in accept order.
  void visit_connections(const std::function<void(const RelayConnection&)>& visit) const;
  std::size_t connection_count() const;

 private:
  enum class Ending { close, reset, stop };
  enum : int { RUNNING = 0, STOP = 1, ABORT = 2 };

  // A proxy host name looked up for a handshake on the loop.
  struct Resolution {
    std::uint64_t connection_id = 0;
    std::vector<std::string> addresses;
    std::string failure;  // empty when there are addresses
  };

  // Results on their way from the handshake threads to the loop.
  struct TunnelInbox {
    std::mutex lock;
    std::vector<OpenedTunnel> delivered;
    std::vector<Resolution> resolved;
    bool closed = false;
    std::shared_ptr<EventPoller> poller;
    // False once the loop has ended; the caller then closes the socket itself.
    bool deliver(OpenedTunnel tunnel);
    void deliver(Resolution resolution);
  };

  struct Timer {
    RelayClock::time_point due;
    std::uint64_t id;
    std::uint64_t serial;
    bool operator>(const Timer& other) const { return due > other.due; }
  };

  // The steps, in order.
  void _accept_ready(RelayClock::time_point now);
  void _admit(std::shared_ptr<Socket> client, const SocketAddress& peer, RelayClock::time_point now);
  void _find_destination(RelayConnection& connection, RelayClock::time_point now);
  bool _redirect_matches(const RelayConnection& connection) const;
  void _read_first_bytes(RelayConnection& connection, RelayClock::time_point now);
  void _sniff_ready(RelayConnection& connection, const EventPoller::Event& event);
  void _end_sniff(RelayConnection& connection, std::optional<std::string> name);
  void _choose_upstream(RelayConnection& connection);
  UpstreamChoice _ask_chooser(const RelayConnection& connection) const;
  void _follow(RelayConnection& connection, const UpstreamChoice& choice);
  void _start_handshake(RelayConnection& connection, TunnelOrder order);
  void _start_blocking_handshake(RelayConnection& connection, TunnelOrder order);
  void _resolve_proxy_host(RelayConnection& connection, const TunnelHandshake& handshake);
  void _drive_handshake(RelayConnection& connection);
  void _take_tunnels();
  void _start_copy(RelayConnection& connection, OpenedTunnel tunnel);
  void _copy_ready(RelayConnection& connection, Side side, const EventPoller::Event& event, RelayClock::time_point now);
  void _end_copy(RelayConnection& connection, RelayClock::time_point now);
  void _check_drain(RelayConnection& connection, RelayClock::time_point now);
  void _finish(RelayConnection& connection, Ending how);

  void _dispatch(const EventPoller::Event& event, RelayClock::time_point now);
  void _on_timer(RelayConnection& connection, RelayClock::time_point now);
  void _run_due_timers(RelayClock::time_point now);
  std::chrono::milliseconds _next_wait(RelayClock::time_point now) const;
  void _arm(RelayConnection& connection, RelayClock::time_point due);
  void _update_watch(RelayConnection& connection);
  // Ends every watch of the connection; the copy is over.
  void _stop_watching(RelayConnection& connection) noexcept;
  void _watch_listener(bool on);
  void _end_all(Ending how);
  RelayConnection* _find(std::uint64_t id);

  const std::shared_ptr<RelayContext> _context;
  const std::shared_ptr<Socket> _listener;
  const std::string _admitted_ip;
  const std::shared_ptr<EventPoller> _poller;
  const std::shared_ptr<TunnelInbox> _inbox;
  HandshakePool _handshakes;
  std::atomic<int> _stop_mode{RUNNING};

  // Written only by the loop thread, always under the lock; read under it by snapshots.
  mutable std::mutex _table_lock;
  std::map<std::uint64_t, std::unique_ptr<RelayConnection>> _connections;
  std::uint64_t _next_id = 0;

  // The handshakes the loop drives itself, by connection.
  std::map<std::uint64_t, std::unique_ptr<TunnelHandshake>> _handshaking;

  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> _timers;
  unsigned _listener_watch = 0;
  std::optional<RelayClock::time_point> _listener_paused_until;
  std::unique_ptr<char[]> _scratch;
};

}  // namespace tovix
