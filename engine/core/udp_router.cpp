#include "engine/core/udp_router.h"

#include <algorithm>
#include <exception>
#include <thread>

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "engine/divert/ip_layout.h"
#include "engine/divert/refusal_packets.h"
#include "engine/relay/proxy_settings.h"
#include "engine/udp/dns_over_tcp.h"
#include "engine/udp/socks5_udp_association.h"
#include "engine/udp/socks5_udp_forwarder.h"

namespace tovix {
namespace {

// A flow (source port and destination) quiet this long counts as new again, its owner looked up
// afresh.
constexpr auto FLOW_FORGOTTEN_AFTER = std::chrono::seconds(30);
constexpr std::size_t MAX_FLOWS_REMEMBERED = 65536;
// Program sockets whose capture details are kept for their answers.
constexpr std::size_t MAX_ANSWER_INFO = 4096;
const HandshakeTimeouts PROBE_TIMEOUTS{std::chrono::seconds(5), std::chrono::seconds(5)};

// Addresses no proxy carries and nobody would want diverted: loopback, link-local, multicast,
// broadcast and unspecified, and DHCP on either version.
bool never_carried(const UdpDatagramView& datagram) {
  const IpAddress& dst = datagram.destination.address;
  const std::span<const std::uint8_t> b = dst.bytes();
  const std::uint16_t src_port = datagram.source.port;
  const std::uint16_t dst_port = datagram.destination.port;
  if (dst.is_unspecified()) return true;
  if (dst.is_v4()) {
    if (src_port == 67 || src_port == 68 || dst_port == 67 || dst_port == 68) return true;
    const bool broadcast = b[0] == 255 && b[1] == 255 && b[2] == 255 && b[3] == 255;
    return b[0] == 127 || (b[0] == 169 && b[1] == 254) || b[0] >= 224 || broadcast ||
           datagram.source.address.bytes()[0] == 127;
  }
  if (src_port == 546 || src_port == 547 || dst_port == 546 || dst_port == 547) return true;
  const bool loopback = std::all_of(b.begin(), b.end() - 1, [](std::uint8_t x) { return x == 0; }) && b[15] == 1;
  return loopback || b[0] == 0xFF || (b[0] == 0xFE && (b[1] & 0xC0) == 0x80);
}

std::uint32_t ipv4_of(const IpAddress& address) { return wire::load32(address.bytes(), 0); }

}  // namespace

bool is_udp_packet(const Packet& packet) {
  const std::span<const std::uint8_t> bytes = packet.bytes();
  if (packet.ip_version() == 4) return bytes[9] == IP_PROTOCOL_UDP;
  if (packet.ip_version() == 6) return bytes[6] == IP_PROTOCOL_UDP;
  return false;
}

// What carries one proxy's UDP: its UDP relay (SOCKS5 only) and its resolver tunnel.
struct UdpRouter::Carriers {
  ProxySettings proxy;
  std::unique_ptr<DnsOverTcp> dns;
  std::unique_ptr<Socks5UdpForwarder> socks;  // null: not SOCKS5
  // Asks the proxy for UDP ASSOCIATE once, ahead of any datagram, so a proxy that refuses is
  // known before a program waits on it.
  std::atomic<bool> refuses_udp{false};
  std::thread probe;
  HandshakeAbort probe_abort;  // ends the probe at stop() instead of waiting out its time-outs

  bool carries_udp() const { return socks && !refuses_udp.load() && !socks->refuses_udp(); }
  void start_probe() {
    if (!socks || probe.joinable()) return;
    const Socks5Server server{proxy.host, proxy.port, proxy.username, proxy.password};
    // Not told (unreachable for now): the first datagram tries again.
    probe = std::thread(
        [this, server] { refuses_udp = grants_udp_associate(server, PROBE_TIMEOUTS, &probe_abort) == false; });
  }
};

UdpRouter::UdpRouter(ProcWatch& proc_watch, HandlerFactory handlers, Notice notice, UdpProxyChoice choice)
    : _proc_watch(proc_watch),
      _handlers(handlers ? std::move(handlers) : HandlerFactory(make_upstream_handler)),
      _notice(std::move(notice)),
      _choice(std::move(choice)) {}

UdpRouter::~UdpRouter() { stop(); }

void UdpRouter::stop() {
  {
    std::lock_guard guard(_answer_lock);
    _injector = nullptr;
    _answer_info.clear();
  }
  for (auto& [key, carriers] : _carriers) carriers->probe_abort.abort();
  // Relays first: their callbacks may still hand a query to a resolver tunnel.
  for (auto& [key, carriers] : _carriers)
    if (carriers->socks) carriers->socks->stop();
  {
    std::lock_guard guard(_answer_lock);
    _dns = nullptr;
  }
  for (auto& [key, carriers] : _carriers)
    if (carriers->dns) carriers->dns->stop();
  for (auto& [key, carriers] : _carriers)
    if (carriers->probe.joinable()) carriers->probe.join();
  std::map<std::string, std::unique_ptr<Carriers>> stopped;
  {
    std::lock_guard guard(_carriers_lock);
    stopped.swap(_carriers);
  }
  stopped.clear();
  _socket_proxies.clear();
  _refusal_told = false;
}

bool UdpRouter::_first_datagram(const UdpDatagramView& datagram) {
  const std::uint64_t flow = (std::uint64_t{IpEndpointHash{}(datagram.destination)} << 16) ^ datagram.source.port;
  const auto now = std::chrono::steady_clock::now();
  if (_last_seen.size() >= MAX_FLOWS_REMEMBERED) _last_seen.clear();
  auto [at, inserted] = _last_seen.try_emplace(flow, now);
  const bool first = inserted || now - at->second > FLOW_FORGOTTEN_AFTER;
  at->second = now;
  return first;
}

void UdpRouter::handle(Packet& packet, PacketDiverter& w, const engine_settings::Exemptions& exempt,
                       const RelayView& relays, std::uint32_t own_pid) {
  const std::optional<UdpDatagramView> datagram = read_udp_datagram(packet.bytes());
  if (!datagram || never_carried(*datagram)) {
    w.send(packet);
    return;
  }
  if (datagram->source.address.is_v4()) {
    const std::uint32_t src = ipv4_of(datagram->source.address);
    const std::uint32_t dst = ipv4_of(datagram->destination.address);
    if (exempt.is_api_traffic(src, dst) || exempt.proxy_ips.count(dst) != 0) {
      w.send(packet);
      return;
    }
  }
  const std::uint16_t src_port = datagram->source.port;
  const bool first = _first_datagram(*datagram);
  UdpOwnerVerdict verdict = _proc_watch.judge_udp_packet(packet.process_id(), src_port, first);
  // The port's socket may have closed and another taken the port since the last listing.
  if (verdict == UdpOwnerVerdict::unknown && !first)
    verdict = _proc_watch.judge_udp_packet(packet.process_id(), src_port, true);
  // Where the system cannot keep the engine's own sockets out, their owner tells them.
  const std::uint32_t port_owner = _proc_watch.get_pid_by_udp_port(src_port);
  if (own_pid != 0 && port_owner == own_pid) {
    w.send(packet);
    return;
  }
  switch (verdict) {
    case UdpOwnerVerdict::not_chosen:
      w.send(packet);
      return;
    case UdpOwnerVerdict::unknown:
      engine_log()->debug("UDP 端口 {} 的所属进程未知，数据报已丢弃", src_port);
      w.drop(packet);
      return;
    case UdpOwnerVerdict::chosen:
      break;
  }
  try {
    _carry(packet, *datagram, w, relays, packet.process_id() != 0 ? packet.process_id() : port_owner);
  } catch (const std::exception& error) {
    engine_log()->debug("UDP 数据报处理异常，已丢弃: {}", error.what());
    w.drop(packet);
  }
}

void UdpRouter::_carry(Packet& packet, const UdpDatagramView& datagram, PacketDiverter& w, const RelayView& relays,
                       std::uint32_t program_pid) {
  const IpEndpoint& program = datagram.source;
  if (!program.address.is_v4() || !relays.current || relays.current->slots.empty()) {
    _refuse(packet, w, false);
    return;
  }
  {
    std::lock_guard guard(_answer_lock);
    _injector = &w;
    if (_answer_info.size() >= MAX_ANSWER_INFO && _answer_info.count(program) == 0) _answer_info.clear();
    CaptureInfo info = packet.info();
    info.outbound = false;
    info.process_id.reset();
    info.ip_checksum_valid = info.udp_checksum_valid = true;
    _answer_info[program] = info;
  }
  Carriers& given = _carriers_of(relays.current->slots[_proxy_for(program, program_pid, relays)].proxy);
  if (Carriers* carriers = given.carries_udp() ? &given : _udp_carrier(relays)) {
    switch (carriers->socks->send(program, datagram.destination, datagram.payload)) {
      case UdpSendResult::sent:
      case UdpSendResult::held:
        _datagrams_out.fetch_add(1, std::memory_order_relaxed);
        _bytes_out.fetch_add(datagram.payload.size(), std::memory_order_relaxed);
        [[fallthrough]];
      case UdpSendResult::dropped:
        w.drop(packet);
        return;
      case UdpSendResult::refused:
        break;
    }
  }
  if (datagram.destination.port == DNS_PORT) {
    DnsOverTcp* dns = given.dns.get();
    {
      std::lock_guard guard(_answer_lock);
      _dns = dns;
    }
    // A full queue: the program's resolver asks again.
    _ask_dns(program, datagram.destination, datagram.payload);
    w.drop(packet);
    return;
  }
  _refuse(packet, w, true);
}

std::size_t UdpRouter::_proxy_for(const IpEndpoint& program, std::uint32_t program_pid, const RelayView& relays) {
  const std::size_t count = relays.current->slots.size();
  const auto now = std::chrono::steady_clock::now();
  if (const auto found = _socket_proxies.find(program); found != _socket_proxies.end()) {
    SocketProxy& kept = found->second;
    const bool same_list = kept.generation.lock() == relays.current;
    const bool quiet = now - kept.last_seen > FLOW_FORGOTTEN_AFTER;
    if (same_list && !quiet && (!_choice.is_up || _choice.is_up(kept.index))) {
      kept.last_seen = now;
      return kept.index;
    }
  }
  std::size_t index = 0;
  if (_choice.choose) index = _choice.choose(program_pid, program.port).value_or(0);
  if (index >= count) index = 0;
  if (_socket_proxies.size() >= MAX_ANSWER_INFO) _socket_proxies.clear();
  _socket_proxies[program] = SocketProxy{relays.current, index, now};
  return index;
}

void UdpRouter::_refuse(Packet& packet, PacketDiverter& w, bool no_proxy_carries_udp) {
  std::optional<Packet> answer = port_unreachable_for(packet);
  w.drop(packet);
  if (answer) w.inject(*answer);
  if (no_proxy_carries_udp && !_refusal_told.exchange(true)) {
    engine_log()->warn("代理不支持 UDP，所选程序的 UDP 数据报已拒绝");
    if (_notice) _notice(STATUS_UDP_REFUSED);
  }
}

bool UdpRouter::_ask_dns(const IpEndpoint& program, const IpEndpoint& resolver, std::span<const std::uint8_t> query) {
  DnsOverTcp* dns = nullptr;
  {
    std::lock_guard guard(_answer_lock);
    dns = _dns;
  }
  if (!dns || !dns->submit({program, resolver, std::vector<std::uint8_t>(query.begin(), query.end())})) return false;
  _datagrams_out.fetch_add(1, std::memory_order_relaxed);
  _bytes_out.fetch_add(query.size(), std::memory_order_relaxed);
  return true;
}

std::vector<UdpFlowInfo> UdpRouter::flows() const {
  std::vector<UdpFlowInfo> out;
  std::lock_guard guard(_carriers_lock);
  for (const auto& [key, carriers] : _carriers) {
    if (!carriers->socks) continue;
    for (const auto& flow : carriers->socks->flow_traffic()) {
      out.push_back({flow.program, flow.destination, carriers->proxy.host, carriers->proxy.port, flow.bytes_up,
                     flow.bytes_down, flow.started_at});
    }
  }
  return out;
}

UdpRouter::Carriers* UdpRouter::_udp_carrier(const RelayView& relays) {
  for (const RelaySlot& slot : relays.current->slots) {
    Carriers& carriers = _carriers_of(slot.proxy);
    if (carriers.carries_udp()) return &carriers;
  }
  return nullptr;
}

void UdpRouter::prepare(const RelayView& relays) {
  if (!relays.current) return;
  for (const RelaySlot& slot : relays.current->slots) {
    try {
      _carriers_of(slot.proxy).start_probe();
    } catch (const std::exception& error) {
      engine_log()->debug("UDP 代理准备失败: {}", error.what());
    }
  }
}

UdpRouter::Carriers& UdpRouter::_carriers_of(const nlohmann::ordered_json& proxy) {
  ProxySettings settings = read_proxy_settings(proxy);
  std::string key = settings.type + '|' + settings.host + '|' + std::to_string(settings.port) + '|' + settings.username;
  auto found = _carriers.find(key);
  if (found != _carriers.end()) return *found->second;

  auto carriers = std::make_unique<Carriers>();
  carriers->proxy = settings;
  const HandlerFactory handlers = _handlers;
  carriers->dns = std::make_unique<DnsOverTcp>(
      [handlers, settings](const IpEndpoint& resolver) {
        std::unique_ptr<UpstreamHandler> handler = handlers(settings.type);
        return handler->handle_connection(resolver.address.text(), resolver.port, settings.host, settings.port,
                                          settings.username, settings.password);
      },
      [this](DnsAnswer answer) {
        if (answer.from_resolver) {
          _datagrams_in.fetch_add(1, std::memory_order_relaxed);
          _bytes_in.fetch_add(answer.message.size(), std::memory_order_relaxed);
        }
        _answer(answer.program, answer.datagram());
      });
  if (settings.type == "socks5") {
    Socks5UdpForwarder::Callbacks callbacks;
    callbacks.deliver = [this](const IpEndpoint& program, const IpEndpoint& remote,
                               std::span<const std::uint8_t> payload) {
      _datagrams_in.fetch_add(1, std::memory_order_relaxed);
      _bytes_in.fetch_add(payload.size(), std::memory_order_relaxed);
      _answer(program, build_udp_datagram(remote, program, payload));
    };
    callbacks.undeliverable = [this](const IpEndpoint& program, const IpEndpoint& destination,
                                     std::span<const std::uint8_t> payload, bool proxy_refused) {
      if (proxy_refused && destination.port == DNS_PORT && _ask_dns(program, destination, payload)) return;
      _refuse_later(program, destination, payload);
    };
    carriers->socks = std::make_unique<Socks5UdpForwarder>(
        Socks5Server{settings.host, settings.port, settings.username, settings.password}, std::move(callbacks));
  }
  Carriers& made = *carriers;
  {
    std::lock_guard guard(_carriers_lock);
    _carriers.emplace(std::move(key), std::move(carriers));
  }
  {
    // Until a query to port 53 names the first proxy's, the first tunnel made answers for
    // queries a relay refused.
    std::lock_guard guard(_answer_lock);
    if (!_dns) _dns = made.dns.get();
  }
  return made;
}

// A datagram held while its association opened, and never sent: the program is told the same
// way as at once.
void UdpRouter::_refuse_later(const IpEndpoint& program, const IpEndpoint& destination,
                              std::span<const std::uint8_t> payload) {
  try {
    const std::vector<std::uint8_t> offending = build_udp_datagram(program, destination, payload);
    if (auto refusal = build_port_unreachable(offending)) _answer(program, std::move(*refusal));
  } catch (const std::exception& error) {
    engine_log()->debug("UDP 拒绝应答无法构造: {}", error.what());
  }
}

void UdpRouter::_answer(const IpEndpoint& program, std::vector<std::uint8_t> datagram) {
  std::lock_guard guard(_answer_lock);
  if (!_injector) return;
  CaptureInfo info;
  if (const auto found = _answer_info.find(program); found != _answer_info.end()) info = found->second;
  try {
    _injector->inject(Packet(std::move(datagram), info));
  } catch (const std::exception& error) {
    engine_log()->debug("UDP 应答注入失败: {}", error.what());
  }
}

}  // namespace tovix
