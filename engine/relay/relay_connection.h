#pragma once
// One relayed connection as its relay's event loop holds it, and the copy step. Each direction
// moves on its own: a side that does not take what it is sent holds up only the bytes meant for
// it, while the other direction goes on. A half close is passed on, the client's end held back
// while the upstream is still answering (common proxies end both directions at once), unless the
// client's program has closed its socket for good and waits for nothing more.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "common/socket.h"
#include "engine/relay/event_poller.h"
#include "engine/relay/nat_table.h"
#include "engine/relay/relay_context.h"
#include "engine/relay/socket_pipe.h"

namespace tovix {

using RelayClock = std::chrono::steady_clock;

// Bytes received from one side that the other side's buffer could not take yet. Storage exists
// only while bytes wait, so an idle connection holds none.
class PendingBytes {
 public:
  bool empty() const { return _offset == _size; }
  const char* data() const { return _bytes.get() + _offset; }
  std::size_t size() const { return _size - _offset; }
  // Keeps a copy of `data`; only called when empty.
  void hold(const char* data, std::size_t size);
  void consumed(std::size_t count);

 private:
  std::unique_ptr<char[]> _bytes;
  std::size_t _size = 0;
  std::size_t _offset = 0;
};

struct Direction {
  PendingBytes pending;
  // Bulk bytes go through a kernel pipe where the system has one, opened once the direction
  // has shown itself busy; an idle or small connection holds none.
  std::unique_ptr<SocketPipe> pipe;
  bool pipe_unavailable = false;
  bool source_ended = false;  // the sending side's end-of-stream has been read
  bool sink_told = false;     // the receiving side's sending direction has been shut down

  bool holds() const { return !pending.empty() || (pipe && pipe->held() > 0); }
  bool reading() const { return !source_ended && !holds(); }
  bool done() const { return source_ended && !holds() && sink_told; }
};

enum class Side : std::uint8_t { client = 0, upstream = 1 };
// The event poller's token for one side of a connection: the id, and the side in the low bit.
inline std::uint64_t token_of(std::uint64_t id, Side side) { return id << 1 | static_cast<std::uint64_t>(side); }

class RelayConnection {
 public:
  enum class Stage { awaiting_entry, sniffing, handshaking, relaying, draining };

  RelayConnection(std::uint64_t id, std::shared_ptr<Socket> client, SocketAddress client_addr,
                  std::shared_ptr<LiveCount> live);

  // The copy step for one readiness report of `side`. Returns false when the connection cannot go
  // on (an error, a reset, urgent data). Throws nothing.
  bool on_ready(Side side, const EventPoller::Event& event, char* scratch, std::size_t scratch_size,
                RelayContext& context, RelayClock::time_point now);
  // Bytes the client sent before the copy began, to go upstream first.
  void send_first(const std::string& bytes);
  // Bytes the upstream sent with the end of its handshake, to go to the client first.
  void answer_first(const std::string& bytes);
  // Passes on ends that are due: called after every copy step and when the hold's time comes.
  void pass_on_ends(RelayClock::time_point now);
  // When the held client end must be looked at again; nothing while no end is held.
  std::optional<RelayClock::time_point> hold_due() const;
  bool copy_done() const { return _up.done() && _down.done(); }
  // Whether the client's program has closed its socket for good; false when it may still read,
  // or when the system cannot tell.
  bool application_socket_closed() const;
  // What each side is waited on for right now.
  unsigned wanted(Side side) const;

  const std::uint64_t id;
  const std::shared_ptr<Socket> client;
  const SocketAddress client_addr;
  const std::shared_ptr<LiveToken> live;  // shared with the handshake job while one runs
  std::shared_ptr<Socket> upstream;

  Stage stage = Stage::awaiting_entry;
  int nat_attempts = 0;
  std::optional<NatEntry> entry;  // set once this connection serves the entry
  // Where the client was going when the system redirected it here (the kernel path); the
  // entry found under its port must name the same destination.
  std::optional<SocketAddress> redirected_from;
  // Written by the loop under its table lock, read by snapshots under it.
  std::optional<std::string> host_name;
  std::string reason;  // what chose the way out
  // The client's bytes read while its host name was looked for; the loop's alone.
  std::string first_bytes;
  std::shared_ptr<std::atomic<bool>> handshake_abandoned;  // set while a handshake job runs
  RelayClock::time_point drain_deadline{};

  // What the poller watches each side for now.
  unsigned client_watch = 0;
  unsigned upstream_watch = 0;
  // The one timer the loop keeps for this connection; `timer_serial` tells stale ones apart.
  std::optional<RelayClock::time_point> timer_due;
  std::uint64_t timer_serial = 0;

  // Read by snapshots on other threads.
  std::atomic<std::uint64_t> uploaded{0};
  std::atomic<std::uint64_t> downloaded{0};
  std::atomic<bool> tunnel_up{false};

 private:
  // Receives from `from` and sends to the other side until either would block.
  void _pump(Side from, char* scratch, std::size_t scratch_size, RelayContext& context, RelayClock::time_point now);
  // The same through the direction's pipe; false when it has none.
  bool _pump_through_pipe(Side from, RelayContext& context, RelayClock::time_point now);
  void _flush(Side to, RelayContext& context);
  void _count(Side from, std::size_t bytes, RelayContext& context);
  Socket& _socket(Side side) const { return side == Side::client ? *client : *upstream; }
  Direction& _from(Side side) { return side == Side::client ? _up : _down; }

  Direction _up;    // client → upstream
  Direction _down;  // upstream → client
  // application_socket_closed(), asked at most twice while the client's end is held.
  bool _client_closed(RelayClock::time_point now);
  bool _upstream_quiet(RelayClock::time_point now) const;

  bool _client_end_held = false;
  int _client_checks = 0;
  RelayClock::time_point _client_checked_at{};
  bool _client_closed_for_good = false;
  RelayClock::time_point _upstream_quiet_since{};
};

}  // namespace tovix
