#include "engine/core/flow_table.h"

#include <algorithm>

#include "engine/divert/packet.h"

namespace tovix {
namespace {

// A reset whose sequence number is not the next one expected only draws an acknowledgement.
template <typename Flow>
bool reset_accepted(const Flow& flow, std::uint32_t seq) {
  return (flow.relay_seq_known && seq == flow.relay_seq_end) || (flow.client_ack_known && seq == flow.client_ack);
}

}  // namespace

FlowTable::FlowTable(std::shared_ptr<NatTable> nat_table, std::function<double()> clock)
    : _nat(std::move(nat_table)), _clock(std::move(clock)) {}

void FlowTable::set_pid_mode(bool pid_mode) {
  std::lock_guard guard(_lock);
  _pid_mode = pid_mode;
}

bool FlowTable::pid_mode() const {
  std::lock_guard guard(_lock);
  return _pid_mode;
}

void FlowTable::use_generation(std::shared_ptr<const RelayGeneration> generation) {
  std::lock_guard guard(_lock);
  _generation = std::move(generation);
  _pid_relay_map.clear();
  _next_relay_index = 0;
}

bool FlowTable::_live(Flow& flow, std::uint16_t port, double now) {
  if (flow.ended) return false;
  const std::optional<NatEntry> entry = _nat->get(port);
  if (entry && *entry == flow.entry) return true;
  flow.ended = true;
  flow.ended_at = now;
  return false;
}

void FlowTable::_end(Flow& flow, std::uint16_t port, double now) {
  if (flow.ended) return;
  _nat->remove_if_same(port, flow.entry);
  flow.ended = true;
  flow.ended_at = now;
}

FlowTable::Opened FlowTable::open(std::uint32_t src, std::uint16_t src_port, std::uint32_t dst, std::uint16_t dst_port,
                                  std::uint32_t pid, std::uint32_t owner) {
  Opened opened;
  const double now = _clock();
  std::lock_guard guard(_lock);
  const int count = _generation ? static_cast<int>(_generation->ports.size()) : 0;
  if (count == 0) return opened;
  int relay_index = 0;
  if (!_pid_mode) {
    relay_index = 0;
  } else if (auto found = pid != 0 ? _pid_relay_map.find(pid) : _pid_relay_map.end(); found != _pid_relay_map.end()) {
    relay_index = found->second;
  } else {
    relay_index = _next_relay_index % count;
    _next_relay_index += 1;
    if (pid != 0) _pid_relay_map[pid] = relay_index;
  }
  opened.relay_port = _generation->port_of(relay_index);
  opened.relay_index = relay_index;
  NatEntry entry{format_ipv4(src), format_ipv4(dst), dst_port, now, relay_index};
  Flow& flow = _flows[src_port];
  opened.replaced_live = !flow.ended && flow.generation && _nat->contains(src_port);
  flow = Flow{};
  flow.entry = entry;
  flow.client_addr = src;
  flow.dst_addr = dst;
  flow.dst_port = dst_port;
  flow.pid = owner;
  flow.relay_port = opened.relay_port;
  flow.generation = _generation;
  _nat->set(src_port, std::move(entry));
  return opened;
}

std::optional<FlowTable::Reply> FlowTable::relay_reply(std::uint16_t client_port, std::uint16_t relay_port,
                                                       const SegmentFacts& segment) {
  std::lock_guard guard(_lock);
  auto it = _flows.find(client_port);
  if (it == _flows.end()) {
    // An entry the engine did not write itself.
    const std::optional<NatEntry> entry = _nat->get(client_port);
    if (!entry) return std::nullopt;
    return Reply{parse_ipv4(entry->original_dst_ip), static_cast<std::uint16_t>(entry->original_dst_port),
                 parse_ipv4(entry->original_src_ip), false};
  }
  Flow& flow = it->second;
  // The port's flow belongs to another relay now: not this relay's client any more.
  if (flow.relay_port != relay_port) return std::nullopt;
  Reply reply{flow.dst_addr, flow.dst_port, flow.client_addr, false};
  if (segment.fin) flow.relay_fin = true;
  if (segment.rst) {
    _end(flow, client_port, _clock());
    reply.reset_taken = flow.reset_at_stop && reset_accepted(flow, segment.seq);
  }
  if (!flow.relay_seq_known || static_cast<std::int32_t>(segment.seq_end - flow.relay_seq_end) > 0) {
    flow.relay_seq_end = segment.seq_end;
    flow.relay_seq_known = true;
  }
  return reply;
}

void FlowTable::reset_delivered(std::uint16_t client_port) {
  std::lock_guard guard(_lock);
  if (_awaiting_reset.erase(client_port) != 0) _resets_changed.notify_all();
}

FlowTable::Known FlowTable::known_segment(std::uint32_t src, std::uint16_t src_port, std::uint32_t dst,
                                          std::uint16_t dst_port, const SegmentFacts& segment) {
  Known known;
  std::lock_guard guard(_lock);
  auto it = _flows.find(src_port);
  if (it == _flows.end()) return known;
  Flow& flow = it->second;
  if (flow.dst_addr != dst || flow.dst_port != dst_port || flow.client_addr != src) return known;
  known.known = true;
  known.live = _live(flow, src_port, _clock());
  if (known.live) {
    known.relay_port = flow.relay_port;
    if (segment.fin) flow.client_fin = true;
  }
  if (flow.reset_at_stop) {
    // The application still sends, so it has not taken the reset: what it sends goes to the
    // relay port, whose answer is a reset with the sequence number it expects. Its own reset
    // means its socket is gone.
    if (segment.ack) {
      flow.client_ack = segment.ack_number;
      flow.client_ack_known = true;
    }
    const bool changed = segment.rst ? _awaiting_reset.erase(src_port) != 0 : _awaiting_reset.insert(src_port).second;
    if (changed) _resets_changed.notify_all();
    known.live = !segment.rst;
    known.relay_port = flow.relay_port;
  }
  return known;
}

std::optional<NatEntry> FlowTable::foreign_entry(std::uint16_t client_port) const {
  std::lock_guard guard(_lock);
  return _nat->get(client_port);
}

void FlowTable::end_on_reset(std::uint16_t client_port) {
  std::lock_guard guard(_lock);
  auto it = _flows.find(client_port);
  if (it != _flows.end()) {
    _end(it->second, client_port, _clock());
  } else {
    _nat->remove(client_port);
  }
}

std::size_t FlowTable::expect_resets() {
  std::lock_guard guard(_lock);
  const double now = _clock();
  for (auto& [port, flow] : _flows) {
    if (!flow.generation || !_live(flow, port, now)) continue;
    flow.reset_at_stop = true;
    _awaiting_reset.insert(port);
  }
  return _awaiting_reset.size();
}

bool FlowTable::wait_for_resets(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(_lock);
  return _resets_changed.wait_until(lock, deadline, [&] { return _awaiting_reset.empty(); });
}

std::size_t FlowTable::awaiting_resets() const {
  std::lock_guard guard(_lock);
  return _awaiting_reset.size();
}

void FlowTable::end_all() {
  std::lock_guard guard(_lock);
  const double now = _clock();
  for (auto& [port, flow] : _flows) {
    if (!flow.ended) {
      flow.ended = true;
      flow.ended_at = now;
    }
    flow.reset_at_stop = false;
    flow.generation.reset();
  }
  _awaiting_reset.clear();
  _nat->clear();
  _pid_relay_map.clear();
  _generation.reset();
}

std::size_t FlowTable::clean_up(double stale_after, double memory, const std::unordered_set<int>& carried) {
  const double now = _clock();
  std::lock_guard guard(_lock);
  const std::size_t removed = _nat->remove_where([&](int port, const NatEntry& entry) {
    return now - entry.created_at > stale_after && carried.count(port) == 0;
  });
  for (auto it = _flows.begin(); it != _flows.end();) {
    Flow& flow = it->second;
    _live(flow, it->first, now);
    if (flow.ended && now - flow.ended_at > memory) {
      it = _flows.erase(it);
    } else {
      ++it;
    }
  }
  return removed;
}

bool FlowTable::uses(const std::shared_ptr<const RelayGeneration>& generation) {
  std::lock_guard guard(_lock);
  if (generation == _generation) return true;
  const double now = _clock();
  for (auto& [port, flow] : _flows)
    if (flow.generation == generation && _live(flow, port, now)) return true;
  return false;
}

void FlowTable::detach(const std::vector<std::shared_ptr<const RelayGeneration>>& gone) {
  std::lock_guard guard(_lock);
  for (auto& [port, flow] : _flows)
    if (std::find(gone.begin(), gone.end(), flow.generation) != gone.end()) flow.generation.reset();
}

std::vector<FlowRecord> FlowTable::live_flows() {
  std::vector<FlowRecord> out;
  std::lock_guard guard(_lock);
  out.reserve(_flows.size());
  for (const auto& [port, flow] : _flows) {
    if (flow.ended || !flow.generation) continue;
    const std::optional<NatEntry> entry = _nat->get(port);
    if (!entry || !(*entry == flow.entry)) continue;
    out.push_back({port, flow.pid, flow.entry, flow.relay_port, flow.generation});
  }
  return out;
}

std::size_t FlowTable::ended_count() const {
  std::lock_guard guard(_lock);
  std::size_t count = 0;
  for (const auto& [port, flow] : _flows) {
    const std::optional<NatEntry> entry = _nat->get(port);
    if (flow.ended || !entry || !(*entry == flow.entry)) ++count;
  }
  return count;
}

std::map<std::uint32_t, int> FlowTable::pid_relay_map() const {
  std::lock_guard guard(_lock);
  return {_pid_relay_map.begin(), _pid_relay_map.end()};
}

int FlowTable::next_relay_index() const {
  std::lock_guard guard(_lock);
  return _next_relay_index;
}

}  // namespace tovix
