#pragma once
// The per-packet decision: pass a packet unchanged, rewrite an application's segment towards
// the relay that carries its connection, or rewrite a relay's segment back so the application
// sees it come from the destination it called. The steps, in order: traffic exempted by address
// (API host, upstream proxies), a relay's reply, a later segment of a connection diverted
// before, a new connection of a chosen process, and what is left (passed).
//
// Runs on the packet thread only; what it reads of the other threads (relays, flows, process
// choice, exemptions) is thread-safe on its own.
#include <memory>
#include <mutex>

#include "engine/core/engine_settings.h"
#include "engine/core/flow_table.h"
#include "engine/core/relay_pool.h"
#include "engine/core/tunnel_core_export.h"
#include "engine/divert/packet_diverter.h"
#include "engine/process/proc_watch.h"

namespace tovix {

class TUNNEL_CORE_EXPORT PacketRouter {
 public:
  PacketRouter(FlowTable& flows, RelayPool& relays, ProcWatch& proc_watch);

  void set_exemptions(std::shared_ptr<const engine_settings::Exemptions> exemptions);
  std::shared_ptr<const engine_settings::Exemptions> exemptions() const;

  // Every path re-injects the packet exactly once, except one that throws: the caller then
  // re-injects it in the state it reached.
  void handle(Packet& packet, PacketDiverter& w);
  bool is_proxy_traffic(const Packet& packet) const;

 private:
  struct Segment;
  bool _relay_reply(Segment& segment, const RelayView& relays, PacketDiverter& w);
  bool _known_segment(Segment& segment, PacketDiverter& w);
  void _new_connection(Segment& segment, std::uint32_t pid, PacketDiverter& w);
  void _unknown_segment(Segment& segment, const RelayView& relays, PacketDiverter& w);

  FlowTable& _flows;
  RelayPool& _relays;
  ProcWatch& _proc_watch;

  mutable std::mutex _exemptions_lock;
  std::shared_ptr<const engine_settings::Exemptions> _exemptions;
};

}  // namespace tovix
