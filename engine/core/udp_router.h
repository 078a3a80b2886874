#pragma once
// What becomes of a UDP datagram the diversion hands over. Datagrams the engine never carries
// (loopback, multicast and broadcast, link-local, DHCP, the API host's and the proxies' own
// traffic, the engine's own sockets) and those of programs not chosen pass unchanged. A chosen
// program's datagram never leaves directly:
// - through the UDP relay of a SOCKS5 proxy of the list that grants UDP ASSOCIATE;
// - otherwise a DNS query (port 53) is asked of the same resolver over TCP through the proxy,
//   and its answer handed back as a datagram from the resolver;
// - anything else, and all of a chosen program's IPv6 UDP, is refused at once with a port
//   unreachable, so the program gives up (QUIC falls back to TCP) instead of waiting.
// A datagram whose owner stays unknown after the short look-up is dropped: the program sends
// it again and it is judged anew.
//
// handle() runs on the packet thread. Answers come on the carriers' own threads and are
// injected through the diverter the packet thread last used, until stop().
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/ip_address.h"
#include "engine/core/engine_settings.h"
#include "engine/core/relay_pool.h"
#include "engine/core/tunnel_core_export.h"
#include "engine/divert/packet_diverter.h"
#include "engine/divert/udp_datagram.h"
#include "engine/process/proc_watch.h"
#include "engine/relay/relay_hub.h"

namespace tovix {

class Socks5UdpForwarder;
class DnsOverTcp;

// Told once per run, the first time a chosen program's UDP is refused because no proxy of the
// list carries UDP.
inline constexpr const char* STATUS_UDP_REFUSED = "代理不支持 UDP：所选程序的 UDP 已拒绝，DNS 改经代理以 TCP 查询";

// Which proxy of the list a chosen program's UDP goes to, the choice its TCP connections get:
// `choose` gives the index in the relay list for the program (0 when unknown) and its local
// port; `is_up` whether that proxy still takes new traffic. Either may be empty: the first
// proxy, always up.
// A program socket whose datagrams a proxy carries now, for the connections list.
struct UdpFlowInfo {
  IpEndpoint program;
  IpEndpoint destination;  // where its latest datagram went
  std::string proxy_host;
  int proxy_port = 0;
  std::uint64_t bytes_up = 0;
  std::uint64_t bytes_down = 0;
  double started_at = 0.0;  // wall-clock seconds
};

struct UdpProxyChoice {
  std::function<std::optional<std::size_t>(std::uint32_t program, std::uint16_t src_port)> choose;
  std::function<bool(std::size_t index)> is_up;
};

// Whether the packet is a UDP datagram of either IP version (the first fragment at least).
TUNNEL_CORE_EXPORT bool is_udp_packet(const Packet& packet);

class TUNNEL_CORE_EXPORT UdpRouter {
 public:
  using Notice = std::function<void(const std::string& text)>;

  UdpRouter(ProcWatch& proc_watch, HandlerFactory handlers, Notice notice, UdpProxyChoice choice = {});
  ~UdpRouter();  // stop()
  UdpRouter(const UdpRouter&) = delete;
  UdpRouter& operator=(const UdpRouter&) = delete;

  // Every captured datagram is either sent on unchanged or dropped (carried or answered some
  // other way) exactly once. A program socket keeps the proxy it was given while it sends; when
  // that proxy does not carry UDP, the first of the list that does carries it, and its DNS
  // queries are asked through the given proxy. Never throws for a chosen program's datagram: a failure drops it.
  void handle(Packet& packet, PacketDiverter& w, const engine_settings::Exemptions& exempt, const RelayView& relays,
              std::uint32_t own_pid);

  // Finds out in the background whether each SOCKS5 proxy of the list grants UDP ASSOCIATE, so
  // the first datagram of a chosen program need not wait for the answer. Packet thread.
  void prepare(const RelayView& relays);

  // Closes every association and resolver connection and joins their threads; answers that
  // come later are not injected. The next handle() starts afresh.
  void stop();

  // Datagrams carried through a proxy (its UDP relay or, for look-ups, its TCP), each way, and
  // their payload bytes, for the totals. Any thread.
  std::uint64_t datagrams_out() const { return _datagrams_out.load(); }
  std::uint64_t datagrams_in() const { return _datagrams_in.load(); }
  std::pair<std::uint64_t, std::uint64_t> traffic() const { return {_bytes_out.load(), _bytes_in.load()}; }
  // The program sockets the proxies' UDP relays carry now. Any thread.
  std::vector<UdpFlowInfo> flows() const;

 private:
  struct Carriers;

  void _carry(Packet& packet, const UdpDatagramView& datagram, PacketDiverter& w, const RelayView& relays,
              std::uint32_t program_pid);
  // The index in the relay list of the proxy the program socket goes through.
  std::size_t _proxy_for(const IpEndpoint& program, std::uint32_t program_pid, const RelayView& relays);
  void _refuse(Packet& packet, PacketDiverter& w, bool no_proxy_carries_udp);
  bool _ask_dns(const IpEndpoint& program, const IpEndpoint& resolver, std::span<const std::uint8_t> query);
  Carriers& _carriers_of(const nlohmann::ordered_json& proxy);
  // A SOCKS5 proxy of the list not known to refuse UDP, or null.
  Carriers* _udp_carrier(const RelayView& relays);
  // Whether the datagram opens a flow not seen lately (its owner is then looked up afresh).
  bool _first_datagram(const UdpDatagramView& datagram);
  // Hands an answer to the program socket `program` through the diverter, if there still is one.
  void _answer(const IpEndpoint& program, std::vector<std::uint8_t> datagram);
  void _refuse_later(const IpEndpoint& program, const IpEndpoint& destination, std::span<const std::uint8_t> payload);

  ProcWatch& _proc_watch;
  const HandlerFactory _handlers;
  const Notice _notice;
  const UdpProxyChoice _choice;

  // Changed on the packet thread (and by stop()) under _carriers_lock, read by flows().
  mutable std::mutex _carriers_lock;
  std::map<std::string, std::unique_ptr<Carriers>> _carriers;
  // Packet thread only.
  std::unordered_map<std::uint64_t, std::chrono::steady_clock::time_point> _last_seen;  // by flow
  struct SocketProxy {
    std::weak_ptr<const RelayGeneration> generation;  // the list the index belongs to
    std::size_t index = 0;
    std::chrono::steady_clock::time_point last_seen;
  };
  std::unordered_map<IpEndpoint, SocketProxy, IpEndpointHash> _socket_proxies;

  // Shared with the answer threads.
  std::mutex _answer_lock;
  PacketDiverter* _injector = nullptr;
  std::unordered_map<IpEndpoint, CaptureInfo, IpEndpointHash> _answer_info;  // per program socket
  DnsOverTcp* _dns = nullptr;  // the resolver path of the first proxy, for queries a relay refused

  std::atomic<bool> _refusal_told{false};
  std::atomic<std::uint64_t> _datagrams_out{0};
  std::atomic<std::uint64_t> _datagrams_in{0};
  std::atomic<std::uint64_t> _bytes_out{0};
  std::atomic<std::uint64_t> _bytes_in{0};
};

}  // namespace tovix
