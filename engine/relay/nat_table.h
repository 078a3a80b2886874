#pragma once
// The engine's NAT table: one record per diverted connection, keyed by the client's TCP
// source port. Written by the packet thread, read and removed by the relays' connection
// threads, so every single operation below is atomic on its own. The engine additionally
// holds compound_lock() around its read-modify-write sequences; relays never take it, so a
// relay's single look-up never waits for an engine sequence.
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "engine/relay/nat_table_export.h"

namespace tovix {

struct NatEntry {
  std::string original_src_ip;  // dotted IPv4 text
  std::string original_dst_ip;  // dotted IPv4 text
  int original_dst_port = 0;
  double created_at = 0.0;  // wall-clock seconds
  int relay_index = 0;      // position of the relay in the engine's relay list

  friend bool operator==(const NatEntry&, const NatEntry&) = default;
};

// What a relay connection finds under its client port.
struct NatClaim {
  std::optional<NatEntry> entry;  // set when this caller now serves the entry
  bool already_claimed = false;   // the entry is there but another relay connection serves it
};

// Wall-clock seconds as NatEntry::created_at expects them.
NAT_TABLE_EXPORT double nat_clock_now();

class NAT_TABLE_EXPORT NatTable {
 public:
  std::optional<NatEntry> get(int port) const;
  // Whether `port` still holds exactly `expected`, without copying the entry out.
  bool holds(int port, const NatEntry& expected) const;
  // Replaces any entry under that port; the new entry is unclaimed (a new connection).
  void set(int port, NatEntry entry);
  // The entry under `port` for exactly one relay connection: the first claim gets it, later
  // claims see already_claimed until set() records a new connection on the port. A program that
  // connects to a relay from a live connection's port number is thus not carried in its place.
  NatClaim claim(int port);
  // True when an entry was there.
  bool remove(int port);
  // Removes the entry only while it is still `expected`: a connection that finished must not
  // take away the entry of a newer connection that reuses its port.
  bool remove_if_same(int port, const NatEntry& expected);
  // Removes every entry for which `expired` is true, in one hold; returns how many went.
  std::size_t remove_where(const std::function<bool(int port, const NatEntry&)>& expired);
  void clear();
  std::size_t size() const;
  bool contains(int port) const { return get(port).has_value(); }

  // The engine's lock for compound operations (`_nat_lock`).
  std::mutex& compound_lock() { return _compound_lock; }

 private:
  struct Slot {
    NatEntry entry;
    bool claimed = false;
  };
  mutable std::mutex _lock;  // guards _entries for each single operation
  std::map<int, Slot> _entries;
  std::mutex _compound_lock;
};

}  // namespace tovix
