#pragma once
// Which proxy a new diverted connection goes to. Three ways of spreading connections over the
// proxy list:
//   first_available  every connection goes to the first proxy that is up;
//   per_program      each program keeps one proxy (programs are given proxies in turn), and
//                    goes to the next proxy that is up while its own is down;
//   per_connection   connections are given the proxies that are up in turn.
// A program is known by the process id the packet carries or, where packets carry none
// (Linux), by the owner of the connection's local port. A connection whose program cannot be
// told is given the next proxy in turn, as in per_connection.
//
// When no proxy is up, the choice is the one the mode would make with all of them up: the
// connection then fails at that proxy as any failing connection does, and never goes out
// without one.
//
// Threads: safe from any thread (the engine calls choose on its packet thread).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

#include "engine/pool/proxy_pool_export.h"
#include "engine/pool/spread_mode.h"

namespace tovix::pool {

// The process that owns a local TCP port; 0 when unknown.
using PortOwner = std::function<std::uint32_t(std::uint16_t src_port)>;
// Whether the proxy at this index of the list takes new connections.
using ProxyUsable = std::function<bool(std::size_t index)>;

struct NewConnection {
  std::uint32_t packet_pid = 0;  // the process id the diversion layer supplied, 0 when none
  std::uint16_t src_port = 0;
};

struct ProxyChoice {
  std::size_t index = 0;
  bool usable = true;         // false when every proxy was down
  std::uint32_t program = 0;  // the program the choice was made for (per_program), 0 otherwise
};

class PROXY_POOL_EXPORT ProxySelector {
 public:
  // `port_owner` is asked only in per_program mode, and only for packets without a process id.
  explicit ProxySelector(SpreadMode mode = SpreadMode::first_available, PortOwner port_owner = {});

  // Nothing when the list is empty. `usable` empty: every proxy is up.
  std::optional<ProxyChoice> choose(const NewConnection& connection, std::size_t proxy_count,
                                    const ProxyUsable& usable = {});
  // A new proxy list: programs are given proxies afresh, from the first.
  void reset();
  void set_mode(SpreadMode mode);
  SpreadMode mode() const;

  // Program → index of its own proxy (per_program).
  std::map<std::uint32_t, std::size_t> program_proxies() const;
  // Where the next turn starts.
  std::size_t next_index() const;

 private:
  std::size_t _take_turn(std::size_t count, const ProxyUsable& usable, bool& found);

  PortOwner _port_owner;
  mutable std::mutex _lock;
  SpreadMode _mode;
  std::size_t _next = 0;
  std::map<std::uint32_t, std::size_t> _program_proxies;
};

}  // namespace tovix::pool
