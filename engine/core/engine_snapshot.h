#pragma once
// What the window shows of a running engine: the live diverted connections and the relays with
// their traffic. Plain records, copied out of the engine.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovix {

enum class TransportProtocol { tcp, udp };

// One live diverted connection (or a program's UDP socket carried through a proxy), as the
// live-connections table shows it.
struct ConnectionInfo {
  TransportProtocol protocol = TransportProtocol::tcp;
  int client_port = 0;
  std::uint32_t pid = 0;   // 0 when the process could not be told
  std::string image_name;  // empty when unknown
  std::string client_ip;   // the application's own address
  std::string original_dst_ip;
  int original_dst_port = 0;
  std::string host_name;  // the name the relay read from its first bytes; empty when none
  std::string rule;       // the routing rule that chose its way ("规则 N：note"); empty: none matched
  int relay_index = 0;    // position in the relay list of its generation
  int relay_port = 0;
  std::string proxy_host;
  int proxy_port = 0;
  bool retired_relay = false;    // its relay was replaced by a hot update and drains
  std::uint64_t bytes_up = 0;    // client → destination, as the relay forwarded them
  std::uint64_t bytes_down = 0;  // destination → client
  double started_at = 0.0;       // wall-clock seconds of its SYN
};

// Traffic of one relay; retired relays are listed while they still carry connections.
struct RelayTraffic {
  int relay_index = 0;
  int port = 0;
  std::string proxy_host;
  int proxy_port = 0;
  bool retired = false;
  std::size_t live_connections = 0;
  std::uint64_t bytes_up = 0;
  std::uint64_t bytes_down = 0;
};

struct EngineSnapshot {
  std::vector<ConnectionInfo> connections;  // ordered by start time, then client port
  std::vector<RelayTraffic> relays;         // current relays in order, then retired ones
  std::uint64_t total_up = 0;               // == get_traffic_stats(): TCP and UDP
  std::uint64_t total_down = 0;
  bool running = false;
};

}  // namespace tovix
