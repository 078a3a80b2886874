#pragma once
// The tests' and the benchmark's view of a TunnelEngine's internals: the packet path without a
// packet thread, the tables it keeps, and relays installed by hand.
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/core/engine_settings.h"
#include "engine/core/flow_table.h"
#include "engine/core/held_connections_watch.h"
#include "engine/core/housekeeping.h"
#include "engine/core/packet_router.h"
#include "engine/core/relay_pool.h"
#include "engine/core/tunnel_engine.h"

namespace tovix::testing {

class TunnelEngineProbe {
 public:
  explicit TunnelEngineProbe(TunnelEngine& engine) : _engine(engine) {}

  void handle_packet(Packet& packet, PacketDiverter& w) { _engine._handle_packet(packet, w); }
  bool is_proxy_traffic(const Packet& packet) const { return _engine._is_proxy_traffic(packet); }
  bool cleanup_nat_table() { return _engine._cleanup_nat_table(); }
  std::string oserror_message(const DivertOsError& error) const { return _engine._oserror_message(error); }

  std::shared_ptr<NatTable> nat_table() const { return _engine._nat_table; }
  ProcWatch& proc_watch() { return *_engine._proc_watch; }
  FlowTable& flows() { return *_engine._flows; }
  std::map<std::uint32_t, int> pid_relay_map() const { return _engine._flows->pid_relay_map(); }
  int next_relay_index() const { return _engine._flows->next_relay_index(); }
  pool::SpreadMode spread_mode() const { return _engine._flows->spread_mode(); }
  pool::ProxyHealth& health() { return *_engine._pool->health(); }
  std::set<std::string> api_ips() const { return _engine._router->exemptions()->api_ip_texts; }
  std::set<std::string> proxy_ips_all() const { return _engine._router->exemptions()->proxy_ip_texts; }
  // Ended diverted connections still remembered.
  std::size_t ended_connection_count() const { return _engine._flows->ended_count(); }
  // Relays replaced by a hot update that still carry connections.
  std::size_t retiring_relay_count() const {
    std::size_t count = 0;
    const auto view = _engine._relays->view();  // held: a clean-up may replace it meanwhile
    for (const auto& generation : view->retiring) count += generation->slots.size();
    return count;
  }
  // Diverted connections a stop has reset whose application has not taken the reset yet.
  std::size_t connections_awaiting_reset() const { return _engine._flows->awaiting_resets(); }
  // Connections held since a run ended, and one look whether their sockets are gone.
  std::vector<TcpTuple> held() const { return _engine._held->held(); }
  void check_held() { _engine._held->check_now(); }
  // The engine's own process for a packet path driven without a run.
  void set_own_process_id(std::uint32_t pid) { _engine._router->set_own_process_id(pid); }

  // Relays (hubs may be null) and exempted addresses set by hand, without a run.
  void install(std::vector<RelaySlot> relays, std::set<std::string> api_ips, std::set<std::string> proxy_ips,
               pool::SpreadMode mode, nlohmann::ordered_json config = {}) {
    auto proxy_list = engine_settings::list_setting(config, "proxy_list");
    if (proxy_list.empty())
      for (const auto& slot : relays) proxy_list.push_back(slot.proxy);
    {
      std::lock_guard guard(_engine._config_lock);
      _engine._config = config.is_object() ? config : nlohmann::ordered_json::object();
    }
    _engine._router->set_exemptions(std::make_shared<const engine_settings::Exemptions>(
        engine_settings::Exemptions::build(std::move(api_ips), std::move(proxy_ips), proxy_list)));
    _engine._flows->set_spread_mode(mode);
    _engine._pool->begin_run(config, proxy_list);
    const auto generation = RelayGeneration::of(std::move(relays));
    _engine._relays->open();
    _engine._relays->install(generation);
    _engine._flows->use_generation(generation);
  }
  bool housekeeping_running() const { return _engine._housekeeping->running(); }
  // For tests that run the clean-up without a run.
  void set_running(bool running) { _engine._running = running; }

 private:
  TunnelEngine& _engine;
};

inline TunnelEngineProbe inspect(TunnelEngine& engine) { return TunnelEngineProbe(engine); }

}  // namespace tovix::testing
