// What the window shows of a running engine: totals, the relays and the live connections.
#include <algorithm>
#include <unordered_map>

#include "engine/core/engine_settings.h"
#include "engine/core/flow_table.h"
#include "engine/core/relay_pool.h"
#include "engine/core/tunnel_engine.h"
#include "engine/core/udp_router.h"

namespace tovix {

std::pair<std::uint64_t, std::uint64_t> TunnelEngine::get_traffic_stats() const {
  const auto [tcp_up, tcp_down] = _relays->traffic();
  const auto [udp_up, udp_down] = _udp->traffic();
  return {tcp_up + udp_up, tcp_down + udp_down};
}

std::vector<RelayTraffic> TunnelEngine::relay_traffic() const { return _relays->relay_traffic(); }

std::vector<ConnectionInfo> TunnelEngine::connections_snapshot() const {
  const std::shared_ptr<const RelayView> relays = _relays->view();
  // Per relay port: NAT key (the client port the relay sees) → counters, as the relays count them.
  std::unordered_map<int, std::unordered_map<int, RelayHub::ConnectionTraffic>> counted;
  auto collect = [&](const RelayGeneration& generation) {
    for (const auto& slot : generation.slots) {
      if (!slot.hub) continue;
      auto& by_client = counted[slot.port];
      for (const auto& connection : slot.hub->connection_traffic()) by_client[connection.client_port] = connection;
    }
  };
  collect(*relays->current);
  for (const auto& generation : relays->retiring) collect(*generation);

  std::vector<ConnectionInfo> out;
  for (const FlowRecord& flow : _flows->live_flows()) {
    ConnectionInfo info;
    info.client_port = flow.key.local_port;
    info.pid = flow.pid;
    info.client_ip = flow.entry.original_src_ip;
    info.original_dst_ip = flow.entry.original_dst_ip;
    info.original_dst_port = flow.entry.original_dst_port;
    info.relay_index = flow.entry.relay_index;
    info.relay_port = flow.relay_port;
    info.retired_relay = flow.generation != relays->current;
    if (static_cast<std::size_t>(flow.entry.relay_index) < flow.generation->slots.size()) {
      const RelaySlot& slot = flow.generation->slots[static_cast<std::size_t>(flow.entry.relay_index)];
      info.proxy_host = engine_settings::text_setting(slot.proxy, "host");
      info.proxy_port = engine_settings::relay_proxy_port(slot.proxy);
    }
    info.started_at = flow.entry.created_at;
    if (auto relay = counted.find(flow.relay_port); relay != counted.end()) {
      if (auto connection = relay->second.find(flow.nat_key); connection != relay->second.end()) {
        info.bytes_up = connection->second.upload;
        info.bytes_down = connection->second.download;
        info.host_name = connection->second.host_name;
        info.rule = connection->second.reason;
      }
    }
    out.push_back(std::move(info));
  }
  for (const UdpFlowInfo& flow : _udp->flows()) {
    ConnectionInfo info;
    info.protocol = TransportProtocol::udp;
    info.client_port = flow.program.port;
    info.pid = _proc_watch->get_pid_by_udp_port(flow.program.port);
    info.client_ip = flow.program.address.text();
    info.original_dst_ip = flow.destination.address.text();
    info.original_dst_port = flow.destination.port;
    info.proxy_host = flow.proxy_host;
    info.proxy_port = flow.proxy_port;
    info.bytes_up = flow.bytes_up;
    info.bytes_down = flow.bytes_down;
    info.started_at = flow.started_at;
    out.push_back(std::move(info));
  }
  // Image names outside every engine lock.
  for (auto& info : out) {
    if (info.pid != 0) info.image_name = _image_name_of(info.pid);
  }
  std::sort(out.begin(), out.end(), [](const ConnectionInfo& a, const ConnectionInfo& b) {
    return a.started_at != b.started_at ? a.started_at < b.started_at : a.client_port < b.client_port;
  });
  return out;
}

std::string TunnelEngine::_image_name_of(std::uint32_t pid) const {
  {
    std::lock_guard guard(_names_lock);
    if (auto it = _image_names.find(pid); it != _image_names.end()) return it->second;
  }
  std::string name = _options.process_queries->image_name(pid).value_or("");
  std::lock_guard guard(_names_lock);
  if (_image_names.size() > 4096) _image_names.clear();
  _image_names[pid] = name;
  return name;
}

EngineSnapshot TunnelEngine::snapshot() const {
  EngineSnapshot snap;
  snap.connections = connections_snapshot();
  snap.relays = relay_traffic();
  std::tie(snap.total_up, snap.total_down) = get_traffic_stats();
  snap.running = _running.load();
  return snap;
}

}  // namespace tovix
