#include "engine/core/packet_router.h"

#include <algorithm>

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "engine/core/udp_router.h"
#include "engine/divert/checksum.h"
#include "engine/divert/refusal_packets.h"

namespace tovix {
namespace {

constexpr std::uint32_t FAKE_SRC_ADDR = 0x7F000002;   // 127.0.0.2
constexpr std::uint32_t RELAY_DST_ADDR = 0x7F000001;  // 127.0.0.1
constexpr std::size_t IPV4_SRC_OFFSET = 12;
constexpr std::size_t IPV4_DST_OFFSET = 16;

bool is_loopback(std::uint32_t address) { return (address >> 24) == 127; }

std::uint32_t load_addr(const Packet& packet, std::size_t offset) { return wire::load32(packet.bytes(), offset); }

// A packet that goes on as it came needs no new checksums: its bytes are the captured ones.
void pass_packet(Packet& packet, PacketDiverter& w) { w.send(packet); }

// Answers the segment with a reset towards its sender.
void refuse(const Packet& packet, PacketDiverter& w) {
  if (auto reset = tcp_reset_for(packet)) w.send(*reset);
}

bool is_ipv6_loopback(const Packet& packet) {
  const std::span<const std::uint8_t> dst = packet.bytes().subspan(24, 16);
  return std::all_of(dst.begin(), dst.end() - 1, [](std::uint8_t b) { return b == 0; }) && dst.back() == 1;
}

SegmentFacts facts_of(const Packet& packet, const TcpHeader& tcp) {
  const std::size_t payload = packet.tcp_segment().size() - tcp.header_length();
  SegmentFacts facts;
  facts.seq = tcp.seq();
  facts.ack_number = tcp.ack_number();
  facts.seq_end = tcp.seq() + static_cast<std::uint32_t>(payload) + (tcp.syn() ? 1u : 0u) + (tcp.fin() ? 1u : 0u);
  facts.ack = tcp.ack();
  facts.fin = tcp.fin();
  facts.rst = tcp.rst();
  return facts;
}

}  // namespace

// One TCP/IPv4 packet as the steps read it.
struct PacketRouter::Segment {
  Packet& packet;
  TcpHeader tcp;
  std::uint32_t src;
  std::uint32_t dst;
  std::uint16_t src_port;
  std::uint16_t dst_port;

  bool opens() const { return tcp.syn() && !tcp.ack(); }
  FlowKey key() const { return {src, src_port, dst, dst_port}; }

  // To the relay on `relay_port`, from the fake client address and the connection's NAT key,
  // under which the relay finds it.
  void redirect(PacketDiverter& w, int relay_port, std::uint16_t nat_key) {
    send_to(w, {FAKE_SRC_ADDR, nat_key, RELAY_DST_ADDR, static_cast<std::uint16_t>(relay_port)});
  }

  // Rewritten towards `to`; checksums the capture vouched for are adjusted, others computed.
  void send_to(PacketDiverter& w, const Ipv4TcpEndpoints& to) {
    if (!retarget_ipv4_tcp(packet, to)) w.recalculate_checksums(packet);
    w.send(packet);
  }
};

PacketRouter::PacketRouter(FlowTable& flows, RelayPool& relays, ProcWatch& proc_watch)
    : _flows(flows),
      _relays(relays),
      _proc_watch(proc_watch),
      _exemptions(std::make_shared<engine_settings::Exemptions>()) {}

void PacketRouter::set_exemptions(std::shared_ptr<const engine_settings::Exemptions> exemptions) {
  std::lock_guard guard(_exemptions_lock);
  _exemptions = std::move(exemptions);
}

std::shared_ptr<const engine_settings::Exemptions> PacketRouter::exemptions() const {
  std::lock_guard guard(_exemptions_lock);
  return _exemptions;
}

bool PacketRouter::is_proxy_traffic(const Packet& packet) const {
  const auto tcp = packet.tcp();
  if (!tcp || !packet.ipv4()) return false;
  return exemptions()->is_proxy_traffic(load_addr(packet, IPV4_SRC_OFFSET), tcp->src_port(),
                                        load_addr(packet, IPV4_DST_OFFSET), tcp->dst_port());
}

std::uint32_t PacketRouter::_owner(std::uint32_t pid, std::uint16_t port) {
  if (pid != 0) return pid;
  // Telling the engine's own connections needs the port's owner now, not at the next refresh.
  return _proc_watch.get_pid_by_src_port(port, _own_pid.load() != 0);
}

void PacketRouter::handle(Packet& packet, PacketDiverter& w) {
  if (is_udp_packet(packet)) {
    if (_udp) {
      _udp->handle(packet, w, *exemptions(), *_relays.view(), _own_pid.load());
    } else {
      pass_packet(packet, w);
    }
    return;
  }
  if (packet.ip_version() == 6) {
    _ipv6(packet, w);
    return;
  }
  std::optional<TcpHeader> tcp = packet.tcp();
  if (!tcp || !packet.ipv4()) {
    pass_packet(packet, w);
    return;
  }
  Segment segment{
      packet,          *tcp,           load_addr(packet, IPV4_SRC_OFFSET), load_addr(packet, IPV4_DST_OFFSET),
      tcp->src_port(), tcp->dst_port()};
  const std::shared_ptr<const engine_settings::Exemptions> exempt = exemptions();
  if (exempt->is_api_traffic(segment.src, segment.dst) ||
      exempt->is_proxy_traffic(segment.src, segment.src_port, segment.dst, segment.dst_port)) {
    pass_packet(packet, w);
    return;
  }
  const std::shared_ptr<const RelayView> relays = _relays.view();
  if (is_loopback(segment.src)) {
    if (!_relay_reply(segment, *relays, w)) pass_packet(packet, w);
    return;
  }
  if (!segment.opens() && _known_segment(segment, w)) return;

  const std::uint32_t pid = packet.process_id();
  if (segment.opens()) {
    const ProcWatch::NewConnection judged =
        _proc_watch.judge_new_connection(pid, segment.src, segment.src_port, segment.dst, segment.dst_port);
    if ((judged.owner != 0 && judged.owner == _own_pid.load()) || !judged.chosen || relays->current->ports.empty()) {
      pass_packet(packet, w);
      return;
    }
    _new_connection(segment, pid, judged.owner, w);
    return;
  }
  if (!_proc_watch.is_packet_allowed(pid, segment.src_port) || relays->current->ports.empty()) {
    pass_packet(packet, w);
    return;
  }
  _unknown_segment(segment, *relays, w);
}

// A relay's segment, back to the application as if from the destination it called. Ended
// connections are still translated, so the relay's closing segments reach the application.
bool PacketRouter::_relay_reply(Segment& segment, const RelayView& relays, PacketDiverter& w) {
  if (segment.dst != FAKE_SRC_ADDR || relays.reply_ports.count(segment.src_port) == 0) return false;
  const std::optional<FlowTable::Reply> reply =
      _flows.relay_reply(segment.dst_port, segment.src_port, facts_of(segment.packet, segment.tcp));
  if (!reply) return false;
  segment.send_to(w, {reply->key.remote_addr, reply->key.remote_port, reply->key.local_addr, reply->key.local_port});
  // A stop waits for this reset; it may close diversion only once the reset is on its way to
  // the application, not merely seen here.
  if (reply->reset_taken) _flows.reset_delivered(segment.dst_port);
  return true;
}

// A later segment of a connection the engine diverted: to its relay, or answered with a reset
// once nothing carries it; never out to the original destination.
bool PacketRouter::_known_segment(Segment& segment, PacketDiverter& w) {
  const FlowTable::Known known = _flows.known_segment(segment.key(), facts_of(segment.packet, segment.tcp));
  switch (known.verdict) {
    case FlowTable::Verdict::unknown:
      return false;
    case FlowTable::Verdict::drop:
      return true;
    case FlowTable::Verdict::pass:
      pass_packet(segment.packet, w);
      return true;
    case FlowTable::Verdict::reset:
      refuse(segment.packet, w);
      return true;
    case FlowTable::Verdict::to_relay:
      segment.redirect(w, known.relay_port, known.nat_key);
      return true;
  }
  return false;
}

void PacketRouter::_new_connection(Segment& segment, std::uint32_t pid, std::uint32_t owner, PacketDiverter& w) {
  const FlowTable::Opened opened = _flows.open(segment.key(), segment.tcp.seq(), pid, owner);
  if (opened.relay_index < 0) {
    pass_packet(segment.packet, w);
    return;
  }
  auto log = engine_log();
  if (opened.nat_key == 0) {
    // Every port number already stands for a connection: refused rather than let out.
    log->warn("分流连接过多，无可用 NAT 端口，已拒绝 {}:{} → {}:{}", format_ipv4(segment.src), segment.src_port,
              format_ipv4(segment.dst), segment.dst_port);
    refuse(segment.packet, w);
    return;
  }
  if (log->should_log(spdlog::level::debug)) {
    if (opened.shares_port)
      log->debug("端口 {} 已有分流连接，新连接以 NAT 端口 {} 区分", segment.src_port, opened.nat_key);
    log->debug("新连接: 端口 {} PID {} → 中继 {}, {}:{} → {}:{}", segment.src_port, pid, opened.relay_index,
               format_ipv4(segment.src), segment.src_port, format_ipv4(segment.dst), segment.dst_port);
  }
  // The system carries it when the relay sees the application's own port; a stand-in port
  // needs the rewrite, and so does a connection that began the rewritten way.
  if (!opened.shares_port && !opened.rewritten && w.carry_to_relay(segment.packet, opened.relay_port)) {
    _flows.carried_by_system(segment.key());
    return;
  }
  segment.redirect(w, opened.relay_port, opened.nat_key);
}

// A segment under an entry the engine did not write as a flow (written by someone else);
// without one it is passed. A relay index outside the list is a checked failure: the loop
// re-injects the packet.
void PacketRouter::_unknown_segment(Segment& segment, const RelayView& relays, PacketDiverter& w) {
  const std::optional<NatEntry> entry = _flows.foreign_entry(segment.src_port);
  if (!entry) {
    pass_packet(segment.packet, w);
    return;
  }
  segment.redirect(w, relays.current->port_of(entry->relay_index), segment.src_port);
  if (segment.tcp.rst()) _flows.remove_foreign(segment.src_port);
}

// A chosen program's new IPv6 connection is refused at once (the relays carry IPv4 only), so it
// falls back to IPv4 instead of waiting for a connect time-out; everything else passes.
void PacketRouter::_ipv6(Packet& packet, PacketDiverter& w) {
  const auto tcp = packet.tcp();
  if (!tcp || !tcp->syn() || tcp->ack() || is_ipv6_loopback(packet)) {
    pass_packet(packet, w);
    return;
  }
  const std::uint32_t pid = packet.process_id();
  const std::uint32_t owner = _owner(pid, tcp->src_port());
  if ((owner != 0 && owner == _own_pid.load()) || !_proc_watch.is_packet_allowed(pid, tcp->src_port(), true)) {
    pass_packet(packet, w);
    return;
  }
  engine_log()->debug("拒绝 IPv6 新连接: 端口 {} PID {}", tcp->src_port(), owner);
  refuse(packet, w);
}

}  // namespace tovix
