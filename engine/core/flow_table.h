#pragma once
// The engine's record of the connections it diverted: one flow per connection beside its entry
// in the shared NAT table (which the relays read and remove), the relay each new connection
// goes to (fixed, round robin, or sticky per process), the clean-up of stale entries, and what a
// stop waits for. Ended connections are remembered a while so that their late segments never
// leave towards the destination.
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
#include "engine/relay/nat_table.h"

namespace tovix {

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
  int client_port = 0;
  std::uint32_t pid = 0;
  NatEntry entry;
  int relay_port = 0;
  std::shared_ptr<const RelayGeneration> generation;
};

class TUNNEL_CORE_EXPORT FlowTable {
 public:
  // `clock`: wall-clock seconds, for NatEntry::created_at and the ages of entries.
  FlowTable(std::shared_ptr<NatTable> nat_table, std::function<double()> clock);

  // -- Relay choice for new connections.
  void set_pid_mode(bool pid_mode);
  bool pid_mode() const;
  // New connections go to this generation from now on; the process map and the round robin
  // start afresh.
  void use_generation(std::shared_ptr<const RelayGeneration> generation);

  // -- The packet path.
  struct Opened {
    int relay_index = -1;  // -1: no relay to go to
    int relay_port = 0;
    bool replaced_live = false;  // a live connection's entry under the same port was replaced
  };
  // A SYN of a chosen process: picks its relay and records the connection. `pid` is the
  // packet's process id (relay choice), `owner` the process as far as it is known (window).
  // Throws std::out_of_range when the chosen relay is not in the list.
  Opened open(std::uint32_t src, std::uint16_t src_port, std::uint32_t dst, std::uint16_t dst_port, std::uint32_t pid,
              std::uint32_t owner);

  struct Reply {
    std::uint32_t src = 0;  // the original destination, where the reply appears to come from
    std::uint16_t src_port = 0;
    std::uint32_t dst = 0;     // the application's own address
    bool reset_taken = false;  // a reset a stop waits for, which the application accepts
  };
  // A relay's segment to the connection under `client_port`; nothing when the relay carries no
  // such connection.
  std::optional<Reply> relay_reply(std::uint16_t client_port, std::uint16_t relay_port, const SegmentFacts& segment);
  // The reset the stop waited for is on its way to the application.
  void reset_delivered(std::uint16_t client_port);

  struct Known {
    bool known = false;  // a segment of a connection diverted before
    bool live = false;   // still carried: to its relay; otherwise dropped
    int relay_port = 0;
  };
  // A later segment of the application's connection, matched on all four of its addresses.
  Known known_segment(std::uint32_t src, std::uint16_t src_port, std::uint32_t dst, std::uint16_t dst_port,
                      const SegmentFacts& segment);
  // An entry under `client_port` the engine did not write itself.
  std::optional<NatEntry> foreign_entry(std::uint16_t client_port) const;
  // The application's reset has gone to the relay: the connection ends.
  void end_on_reset(std::uint16_t client_port);

  // -- Stop.
  // Every live connection is expected to take a reset: returns how many.
  std::size_t expect_resets();
  // Waits until every expected reset was taken, at most until `deadline`; false on time-out.
  bool wait_for_resets(std::chrono::steady_clock::time_point deadline);
  std::size_t awaiting_resets() const;
  // Ends every connection and clears the NAT table and the process map.
  void end_all();

  // -- Housekeeping.
  // Removes entries older than `stale_after` seconds whose port no relay carries (`carried`)
  // and forgets ended connections older than `memory` seconds. Returns the entries removed.
  std::size_t clean_up(double stale_after, double memory, const std::unordered_set<int>& carried);
  // Whether new or live connections still use the generation.
  bool uses(const std::shared_ptr<const RelayGeneration>& generation);
  // Those generations are gone: their connections no longer belong to a relay.
  void detach(const std::vector<std::shared_ptr<const RelayGeneration>>& gone);

  // -- Views.
  std::vector<FlowRecord> live_flows();
  std::size_t ended_count() const;
  std::map<std::uint32_t, int> pid_relay_map() const;
  int next_relay_index() const;

 private:
  // The engine's own record of one diverted connection, beside its NAT entry.
  struct Flow {
    NatEntry entry;  // as written to the NAT table
    std::uint32_t client_addr = 0;
    std::uint32_t dst_addr = 0;
    std::uint16_t dst_port = 0;
    std::uint32_t pid = 0;
    int relay_port = 0;
    std::shared_ptr<const RelayGeneration> generation;
    bool client_fin = false;
    bool relay_fin = false;
    // Ended: its NAT entry is gone (relay end, reset, stop, clean-up).
    bool ended = false;
    double ended_at = 0.0;
    // Reset by a stop: until the application's socket has taken the reset, its segments still
    // go to the relay port (whose reset answers them) and never out unchanged.
    bool reset_at_stop = false;
    // The next sequence number of each side as the engine saw it, to tell a reset the
    // application's socket accepts (exactly its next expected number) from one it only answers.
    std::uint32_t relay_seq_end = 0;
    bool relay_seq_known = false;
    std::uint32_t client_ack = 0;
    bool client_ack_known = false;
  };

  bool _live(Flow& flow, std::uint16_t port, double now);
  void _end(Flow& flow, std::uint16_t port, double now);

  const std::shared_ptr<NatTable> _nat;
  const std::function<double()> _clock;

  mutable std::mutex _lock;
  std::condition_variable _resets_changed;
  std::unordered_map<std::uint16_t, Flow> _flows;
  std::shared_ptr<const RelayGeneration> _generation;
  bool _pid_mode = false;
  std::unordered_map<std::uint32_t, int> _pid_relay_map;
  int _next_relay_index = 0;
  // Client ports of connections a stop reset whose application has not taken the reset yet.
  std::unordered_set<std::uint16_t> _awaiting_reset;
};

}  // namespace tovix
