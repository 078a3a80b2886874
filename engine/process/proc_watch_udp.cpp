// The UDP side of the port map: who owns the local port a datagram leaves from. Unlike the TCP
// map it has no monitor; a new flow's first datagram asks for a fresh listing when the map
// does not already name a chosen owner.
#include <algorithm>
#include <exception>
#include <thread>

#include "common/logging.h"
#include "engine/process/proc_watch.h"

namespace tovix {

UdpOwnerVerdict ProcWatch::judge_udp_packet(std::uint32_t packet_pid, std::uint16_t src_port, bool first_datagram) {
  if (!_filtering.load(std::memory_order_acquire)) return UdpOwnerVerdict::chosen;
  if (packet_pid != 0) {
    return _is_target(packet_pid, first_datagram) ? UdpOwnerVerdict::chosen : UdpOwnerVerdict::not_chosen;
  }
  std::vector<std::uint32_t> owners = _lookup_udp_port(src_port);
  if (_any_target(owners, first_datagram)) return UdpOwnerVerdict::chosen;
  if (!first_datagram) return owners.empty() ? UdpOwnerVerdict::unknown : UdpOwnerVerdict::not_chosen;
  // The map may predate the socket, or name an older socket that had the port before. The
  // sending socket is in the system's table by the time its datagram is held for us, so a
  // fresh listing names it; a socket that is already gone again leaves the owner unknown.
  for (int attempt = 0; attempt < UDP_LOOKUP_ATTEMPTS; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(UDP_LOOKUP_RETRY_DELAY);
    refresh_udp_now();
    std::vector<std::uint32_t> fresh = _lookup_udp_port(src_port);
    if (fresh.empty()) continue;
    if (fresh != owners && _any_target(fresh, true)) return UdpOwnerVerdict::chosen;
    return UdpOwnerVerdict::not_chosen;
  }
  return UdpOwnerVerdict::unknown;
}

bool ProcWatch::_any_target(const std::vector<std::uint32_t>& pids, bool verify) {
  return std::any_of(pids.begin(), pids.end(), [&](std::uint32_t pid) { return _is_target(pid, verify); });
}

std::vector<std::uint32_t> ProcWatch::_lookup_udp_port(std::uint16_t src_port) const {
  std::lock_guard guard(_udp_map_lock);
  const auto found = _udp_port_map.find(src_port);
  return found == _udp_port_map.end() ? std::vector<std::uint32_t>{} : found->second;
}

std::uint32_t ProcWatch::get_pid_by_udp_port(std::uint16_t src_port) const {
  const auto owners = _lookup_udp_port(src_port);
  return owners.empty() ? 0 : owners.front();
}

ProcWatch::UdpPortMap ProcWatch::udp_port_map() const {
  std::lock_guard guard(_udp_map_lock);
  return _udp_port_map;
}

std::size_t ProcWatch::refresh_udp_now() {
  std::vector<UdpSocketEntry> sockets;
  try {
    sockets = _queries->udp_sockets();
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->debug("刷新 UDP 端口映射异常: {}", error.what());
    return 0;
  }
  UdpPortMap fresh;
  fresh.reserve(sockets.size());
  for (const auto& socket : sockets) {
    if (socket.pid == 0) continue;
    auto& owners = fresh[socket.local.port];
    if (std::find(owners.begin(), owners.end(), socket.pid) == owners.end()) owners.push_back(socket.pid);
  }
  const std::size_t count = fresh.size();
  {
    std::lock_guard guard(_udp_map_lock);
    _udp_port_map.swap(fresh);
  }
  return count;
}

}  // namespace tovix
