#include "app/insight/engine_readings.h"

namespace tovix::insight {
namespace {

std::string address(const std::string& host, int port) { return host + ":" + std::to_string(port); }

}  // namespace

std::vector<ConnectionSample> connection_samples(const EngineSnapshot& snapshot) {
  std::vector<ConnectionSample> samples;
  samples.reserve(snapshot.connections.size());
  for (const ConnectionInfo& connection : snapshot.connections) {
    samples.push_back({connection.client_port, connection.pid, connection.image_name,
                       address(connection.original_dst_ip, connection.original_dst_port),
                       address(connection.proxy_host, connection.proxy_port), connection.bytes_up,
                       connection.bytes_down, connection.started_at, connection.host_name, connection.rule,
                       connection.protocol == TransportProtocol::udp});
  }
  return samples;
}

TrafficReading traffic_reading(const EngineSnapshot& snapshot) {
  TrafficReading reading;
  reading.total = {snapshot.total_up, snapshot.total_down};
  for (const RelayTraffic& relay : snapshot.relays) {
    TrafficTotals& totals = reading.per_proxy[address(relay.proxy_host, relay.proxy_port)];
    totals.upload += relay.bytes_up;
    totals.download += relay.bytes_down;
  }
  return reading;
}

}  // namespace tovix::insight
