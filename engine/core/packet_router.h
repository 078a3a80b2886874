#pragma once
// The per-packet decision: pass a packet unchanged, rewrite an application's segment towards
// the relay that carries its connection, rewrite a relay's segment back so the application
// sees it come from the destination it called, or answer with a reset. The steps, in order:
// traffic exempted by address (API host, upstream proxies), a relay's reply, a later segment of
// a connection diverted before, a new connection of a chosen process, and what is left
// (passed: connections that were open before the engine started). IPv6 is not carried: a
// chosen program's new IPv6 connection is refused at once, so it falls back to IPv4, and every
// other IPv6 packet passes. UDP datagrams go to the UdpRouter, when there is one.
//
// Runs on the packet thread only; what it reads of the other threads (relays, flows, process
// choice, exemptions) is thread-safe on its own.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "engine/core/engine_settings.h"
#include "engine/core/flow_table.h"
#include "engine/core/relay_pool.h"
#include "engine/core/tunnel_core_export.h"
#include "engine/divert/packet_diverter.h"
#include "engine/process/proc_watch.h"

namespace tovix {

class UdpRouter;

class TUNNEL_CORE_EXPORT PacketRouter {
 public:
  PacketRouter(FlowTable& flows, RelayPool& relays, ProcWatch& proc_watch);

  void set_exemptions(std::shared_ptr<const engine_settings::Exemptions> exemptions);
  std::shared_ptr<const engine_settings::Exemptions> exemptions() const;
  // The engine's own process, whose new connections pass whatever their address: for a
  // diverter that hands them over (0: it never does).
  void set_own_process_id(std::uint32_t pid) { _own_pid = pid; }
  // Set once before the first packet; without one, UDP passes unchanged.
  void set_udp_router(UdpRouter* udp) { _udp = udp; }

  // Every path re-injects the packet (or the reset that answers it) exactly once, except a
  // path that drops it, and one that throws: the caller then re-injects the packet in the
  // state it reached.
  void handle(Packet& packet, PacketDiverter& w);
  bool is_proxy_traffic(const Packet& packet) const;

 private:
  struct Segment;
  bool _relay_reply(Segment& segment, const RelayView& relays, PacketDiverter& w);
  bool _known_segment(Segment& segment, PacketDiverter& w);
  void _new_connection(Segment& segment, std::uint32_t pid, std::uint32_t owner, PacketDiverter& w);
  void _unknown_segment(Segment& segment, const RelayView& relays, PacketDiverter& w);
  void _ipv6(Packet& packet, PacketDiverter& w);
  // The process that opens a connection, as far as it can be told: 0 when unknown.
  std::uint32_t _owner(std::uint32_t pid, std::uint16_t port);

  FlowTable& _flows;
  RelayPool& _relays;
  ProcWatch& _proc_watch;
  std::atomic<std::uint32_t> _own_pid{0};
  UdpRouter* _udp = nullptr;

  mutable std::mutex _exemptions_lock;
  std::shared_ptr<const engine_settings::Exemptions> _exemptions;
};

}  // namespace tovix
