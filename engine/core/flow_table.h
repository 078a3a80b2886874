#pragma once
// The engine's record of the connections it diverted: one flow per connection (keyed by all
// four of its addresses) beside its entry in the shared NAT table, the relay each new
// connection goes to (as the proxy selector spreads them over the proxies that are up), the
// clean-up of stale
// entries, and what a stop waits for.
//
// Each flow has its own NAT key, the client port the relay sees: the application's own port,
// unless another remembered flow already uses that number (two connections that share one local
// port towards different destinations); then a free port stands in for it on the way to the
// relay and back.
//
// A connection whose entry has gone (the relay gave up, the proxy refused, a reset, a stop) is
// remembered for as long as its application's socket may still send, so a late segment is
// answered (by the relay's own socket while that relay runs, else by a reset the engine makes)
// and never leaves towards the destination.
//
// Thread-safe: every operation holds the table's own lock for its whole read-modify-write; the
// relays' single NAT look-ups and removals never wait for it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/core/relay_pool.h"
#include "engine/core/tunnel_core_export.h"
#include "engine/divert/held_connections.h"
#include "engine/pool/proxy_selector.h"
#include "engine/relay/nat_table.h"

namespace tovix {

// A connection as the application made it: its own address and port, and its destination's.
using FlowKey = TcpTuple;

struct FlowKeyHash {
  std::size_t operator()(const FlowKey& key) const noexcept {
    const std::uint64_t client = (std::uint64_t{key.local_addr} << 16) | key.local_port;
    const std::uint64_t remote = (std::uint64_t{key.remote_addr} << 16) | key.remote_port;
    return std::hash<std::uint64_t>()(client * 0x9E3779B97F4A7C15ull ^ remote);
  }
};

// What the table needs to know of a TCP segment.
struct SegmentFacts {
  std::uint32_t seq = 0;
  std::uint32_t ack_number = 0;
  std::uint32_t seq_end = 0;  // seq + payload length + SYN + FIN
  bool ack = false;
  bool fin = false;
  bool rst = false;
};

// A live diverted connection for the window.
struct FlowRecord {
  FlowKey key;
  std::uint16_t nat_key = 0;
  std::uint32_t pid = 0;
  NatEntry entry;
  int relay_port = 0;
  std::shared_ptr<const RelayGeneration> generation;
};

class TUNNEL_CORE_EXPORT FlowTable {
 public:
  // Where stand-in client ports are taken from, above the well-known ports.
  static constexpr std::uint16_t FIRST_STAND_IN_PORT = 1024;

  // `wall_clock`: seconds since the epoch, for NatEntry::created_at. `steady_clock`: seconds
  // that only go forward, for every age the table judges by. `port_owner` names a connection's
  // program where its packets carry no process id; `usable` tells which relays' proxies take
  // new connections (empty: all of them).
  FlowTable(std::shared_ptr<NatTable> nat_table, std::function<double()> wall_clock,
            std::function<double()> steady_clock, pool::PortOwner port_owner = {}, pool::ProxyUsable usable = {});

  // -- Relay choice for new connections.
  void set_spread_mode(pool::SpreadMode mode);
  pool::SpreadMode spread_mode() const;
  // New connections go to this generation from now on; programs are given relays afresh and
  // the turn starts again at the first.
  void use_generation(std::shared_ptr<const RelayGeneration> generation);

  // The relay a program's other traffic (its UDP) goes to, chosen as for a new connection of
  // that program from `src_port`; nothing when there is no relay.
  std::optional<std::size_t> choose_relay(std::uint32_t program, std::uint16_t src_port);

  // -- The packet path.
  struct Opened {
    int relay_index = -1;  // -1: no relay to go to
    int relay_port = 0;
    std::uint16_t nat_key = 0;  // 0 with a relay: no client port is free for it
    bool shares_port = false;   // another remembered connection has the application's port
    bool rewritten = false;     // a repeated SYN of a connection carried by rewritten packets
  };
  // A SYN of a chosen process: picks its relay and records the connection. `isn` is the SYN's
  // sequence number (a retransmitted SYN keeps the connection it opened), `pid` the packet's
  // process id, `owner` the process as far as it is known (window, and the relay choice per
  // program, which asks the port's owner when neither is known).
  // Throws std::out_of_range when the chosen relay is not in the list.
  Opened open(const FlowKey& key, std::uint32_t isn, std::uint32_t pid, std::uint32_t owner);

  // The system carries the connection to its relay by itself (its packets no longer pass
  // here): its later segments that do are passed on to the system while it lives, and a stop
  // does not wait for its reset, which reaches the application without the engine.
  void carried_by_system(const FlowKey& key);

  struct Reply {
    FlowKey key;               // the reply goes from key's remote end to its local end
    bool reset_taken = false;  // a reset a stop waits for, which the application accepts
  };
  // A relay's segment to the connection under `nat_key`; nothing when the relay carries no
  // such connection.
  std::optional<Reply> relay_reply(std::uint16_t nat_key, std::uint16_t relay_port, const SegmentFacts& segment);
  // The reset a stop waited for is on its way to the application.
  void reset_delivered(std::uint16_t nat_key);

  enum class Verdict {
    unknown,   // no connection the engine diverted
    pass,      // carried by the system: passed as it is
    to_relay,  // to the relay port, from the NAT key
    reset,     // answered with a reset the application accepts
    drop,      // the application's own reset of a connection nobody carries any more
  };
  struct Known {
    Verdict verdict = Verdict::unknown;
    int relay_port = 0;
    std::uint16_t nat_key = 0;
  };
  // A later segment of the application's connection.
  Known known_segment(const FlowKey& key, const SegmentFacts& segment);
  // An entry under `port` the engine did not write itself, and its removal.
  std::optional<NatEntry> foreign_entry(std::uint16_t port) const;
  void remove_foreign(std::uint16_t port);

  // -- Stop.
  // Every live connection is expected to take a reset: returns how many.
  std::size_t expect_resets();
  // Waits until every expected reset was taken, at most until `deadline`; false on time-out.
  bool wait_for_resets(std::chrono::steady_clock::time_point deadline);
  std::size_t awaiting_resets() const;
  // Connections whose application's socket may still send.
  std::vector<FlowKey> unconfirmed() const;
  // Ends every connection (the ended ones stay remembered) and clears the NAT table, the
  // process map and the relay choice.
  void end_all();

  // -- Housekeeping.
  // Removes entries older than `stale_after` seconds whose NAT key no relay carries (`carried`)
  // and forgets connections whose socket is gone, or which ended in order both ways, once
  // nothing was seen of them for `memory` seconds. Returns the entries removed.
  std::size_t clean_up(double stale_after, double memory, const std::unordered_set<int>& carried);
  // Whether new or live connections still use the generation.
  bool uses(const std::shared_ptr<const RelayGeneration>& generation);
  // Those generations are gone: their connections no longer belong to a relay.
  void detach(const std::vector<std::shared_ptr<const RelayGeneration>>& gone);

  // -- Views.
  std::vector<FlowRecord> live_flows();
  // Connections remembered after their end.
  std::size_t ended_count() const;
  std::size_t size() const;
  // Program → index of its own relay (one proxy per program).
  std::map<std::uint32_t, int> pid_relay_map() const;
  // The process that opened the connection under `nat_key`, as far as it is known; 0 otherwise.
  std::uint32_t owner_of(std::uint16_t nat_key) const;
  // Where the next turn starts.
  int next_relay_index() const;

 private:
  // The engine's own record of one diverted connection, beside its NAT entry.
  struct Flow {
    FlowKey key;
    std::uint16_t nat_key = 0;
    NatEntry entry;  // as written to the NAT table under nat_key
    std::uint32_t pid = 0;
    std::uint32_t isn = 0;
    int relay_port = 0;
    // Null once its relays have stopped: nothing carries it any more.
    std::shared_ptr<const RelayGeneration> generation;
    double opened_at = 0.0;  // steady seconds
    double last_seen = 0.0;  // steady seconds, a segment of either side
    bool client_fin = false;
    bool relay_fin = false;
    // Ended: its NAT entry is gone (relay end, reset, stop, clean-up).
    bool ended = false;
    // The application's socket has taken a reset or sent one: it sends no more.
    bool socket_gone = false;
    // Reset by a stop: until the application's socket has taken the reset, its segments still
    // go to the relay port (whose reset answers them) and never out unchanged.
    bool reset_at_stop = false;
    // Carried to its relay by the system, not by rewritten packets.
    bool by_system = false;
    // The next sequence number of each side as the engine saw it, to tell a reset the
    // application's socket accepts (exactly its next expected number) from one it only answers.
    std::uint32_t relay_seq_end = 0;
    bool relay_seq_known = false;
    std::uint32_t client_ack = 0;
    bool client_ack_known = false;
  };

  bool _live(Flow& flow);
  void _end(Flow& flow);
  void _forget(const FlowKey& key);
  std::uint16_t _nat_key_for(std::uint16_t client_port);
  Flow* _by_nat_key(std::uint16_t nat_key);

  const std::shared_ptr<NatTable> _nat;
  const std::function<double()> _wall_clock;
  const std::function<double()> _steady_clock;

  mutable std::mutex _lock;
  std::condition_variable _resets_changed;
  std::unordered_map<FlowKey, Flow, FlowKeyHash> _flows;
  std::unordered_map<std::uint16_t, FlowKey> _nat_keys;  // NAT key → its flow
  std::uint16_t _next_stand_in = FIRST_STAND_IN_PORT;
  std::shared_ptr<const RelayGeneration> _generation;
  pool::ProxySelector _selector;
  const pool::PortOwner _port_owner;
  const pool::ProxyUsable _usable;
  // NAT keys of connections a stop reset whose application has not taken the reset yet.
  std::unordered_set<std::uint16_t> _awaiting_reset;
};

}  // namespace tovix
