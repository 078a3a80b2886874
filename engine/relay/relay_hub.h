#pragma once
// A loopback TCP server that carries diverted connections to one upstream proxy. For each
// accepted client it looks the original destination up in the shared NAT table (by the
// client's source port), opens a tunnel through the proxy and copies bytes both ways,
// counting them. A half close is passed on: when one side ends its sending direction, the
// other side's sending direction is ended too and the copy goes on the other way until that
// side ends as well.
//
// Only connections the engine diverted are carried: they come from DIVERTED_SOURCE_IP, and each
// NAT entry serves one relay connection.
//
// Threads: start()/stop()/get_traffic() on the caller's thread; one event-loop thread per relay
// (joined by stop) that accepts, opens the tunnels and copies for every connection; up to
// HANDSHAKE_THREADS threads, started on demand, for what could block the loop (looking up a
// proxy's host name, the handshake of a handler that can only block). Such a job still running at
// stop() ends on its own; it shares ownership of what it uses, so destroying the hub is safe at
// any time.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/socket.h"
#include "engine/relay/nat_table.h"
#include "engine/relay/relay_hub_export.h"
#include "engine/relay/upstream_choice.h"
#include "engine/relay/upstream_handler.h"

namespace tovix {

// Builds the handler for a ProxyEntry "type": "http" in any letter case → HttpHandler,
// anything else → Socks5Handler.
using HandlerFactory = std::function<std::unique_ptr<UpstreamHandler>(const std::string& type)>;
RELAY_HUB_EXPORT std::unique_ptr<UpstreamHandler> make_upstream_handler(const std::string& type);
// The same with other time-outs than the relay's, for callers that must not wait as long.
RELAY_HUB_EXPORT std::unique_ptr<UpstreamHandler> make_upstream_handler_with(const std::string& type,
                                                                             HandshakeTimeouts timeouts);

// How one connection's tunnel through the proxy turned out. `at_proxy` tells a failure of the
// proxy itself (unreachable, rejected credentials, time-out) from a destination the proxy could
// not reach. The password is never part of it.
struct UpstreamOutcome {
  std::string proxy_type;
  std::string proxy_host;
  int proxy_port = 0;
  bool succeeded = false;
  bool at_proxy = false;
  std::string error;  // the handler's text when the tunnel failed
};
// Called on the relay's event-loop thread (or a handshake thread, for a handler that can only
// block) once per connection that tried a proxy; it must not block.
using UpstreamObserver = std::function<void(const UpstreamOutcome&)>;

// What a relay may be given beyond its proxy.
struct RelayOptions {
  // Picks each connection's way out (another proxy, direct, or blocked); unset: the relay's proxy.
  UpstreamChooser chooser;
  // Fixes the send and receive buffers of the relay's sockets; 0 leaves the system's own sizing.
  int socket_buffer_bytes = 0;
  // Before choosing, wait up to SNIFF_WAIT for the client's first bytes and read the host name
  // from them (not on ports whose server speaks first). The bytes go on unchanged.
  bool read_host_names = false;
};

class RelayLoop;
struct RelayContext;

class RELAY_HUB_EXPORT RelayHub {
 public:
  // The source address the engine gives every diverted connection on its way to a relay.
  static constexpr const char* DIVERTED_SOURCE_IP = "127.0.0.2";
  // Room for a burst of thousands of new connections (the system may cap it lower).
  static constexpr int LISTEN_BACKLOG = 4096;
  static constexpr int NAT_LOOKUP_ATTEMPTS = 20;
  static constexpr std::chrono::milliseconds NAT_LOOKUP_PAUSE{100};
  // A client's half-close reaches the upstream proxy only once the upstream has sent nothing
  // for this long: common proxies (microsocks, tinyproxy) close both directions when their
  // client ends its side, which would cut off an answer still on its way.
  static constexpr std::chrono::milliseconds HALF_CLOSE_HOLD{1000};
  // How long an ended connection waits for its last bytes to reach the client.
  static constexpr std::chrono::milliseconds SEND_DRAIN_WAIT{5000};
  // The most one receive takes; the loop's single buffer has this size.
  static constexpr std::size_t COPY_CHUNK = 65536;
  // Look-ups and blocking handshakes running at once; one proxy never holds more than half.
  static constexpr std::size_t HANDSHAKE_THREADS = 64;
  // A handshake thread with nothing to do for this long ends.
  static constexpr std::chrono::milliseconds HANDSHAKE_IDLE_EXIT{10000};

  // `proxy_config` is a ProxyEntry record ("type", "host", "port", "username", "password").
  RelayHub(std::shared_ptr<NatTable> nat_table, nlohmann::ordered_json proxy_config,
           HandlerFactory handler_factory = make_upstream_handler, UpstreamObserver upstream_observer = {},
           RelayOptions options = {});
  ~RelayHub();
  RelayHub(const RelayHub&) = delete;
  RelayHub& operator=(const RelayHub&) = delete;

  // Raises the process's descriptor limit, binds, listens and starts the event loop; port 0 lets
  // the system choose. Returns the bound address. Throws SocketError (nothing started then) or
  // std::logic_error when called a second time.
  SocketAddress start(const std::string& host = "127.0.0.1", int port = 0);
  // Ends accepting and every live connection; the byte counters are kept.
  void stop();
  // stop(), but each client connection is reset rather than ended in order, so the client's
  // socket is gone once the reset has reached it and cannot send on.
  void abort();

  void add_traffic(std::uint64_t upload, std::uint64_t download);
  // (upload, download)
  std::pair<std::uint64_t, std::uint64_t> get_traffic() const;

  // The record later connections read; connections already relayed keep theirs.
  void set_proxy_config(nlohmann::ordered_json proxy_config);
  nlohmann::ordered_json proxy_config() const;

  // A live connection: its client port (the NAT key) and the bytes forwarded so far.
  struct ConnectionTraffic {
    int client_port = 0;
    std::uint64_t upload = 0;
    std::uint64_t download = 0;
    bool tunnel_up = false;  // the upstream handshake is done
    std::string host_name;   // read from the client's first bytes; empty when none
    std::string reason;      // what chose its way (UpstreamChoice::reason)
  };
  // Connections from accept until their copy loop ends, in accept order. Cheap: copies the
  // counters the copy loop keeps anyway.
  std::vector<ConnectionTraffic> connection_traffic() const;
  // The client ports of those connections.
  std::vector<int> client_ports() const;

  // Connections not finished yet, including handshakes that outlive a stop().
  std::size_t live_connections() const;
  // Client sockets the relay holds for live connections.
  std::size_t client_count() const;
  // Blocks until no connection is live, at most `timeout`; true when none is left.
  bool wait_until_idle(std::chrono::milliseconds timeout) const;

 private:
  void _stop(bool reset_clients);

  std::shared_ptr<RelayContext> _context;
  std::shared_ptr<Socket> _listener;
  std::shared_ptr<RelayLoop> _loop;
  std::thread _loop_thread;
};

}  // namespace tovix
