#include "engine/core/flow_table.h"

#include <algorithm>

#include "engine/divert/packet.h"

namespace tovix {

FlowTable::FlowTable(std::shared_ptr<NatTable> nat_table, std::function<double()> wall_clock,
                     std::function<double()> steady_clock, pool::PortOwner port_owner, pool::ProxyUsable usable)
    : _nat(std::move(nat_table)),
      _wall_clock(std::move(wall_clock)),
      _steady_clock(std::move(steady_clock)),
      _port_owner(std::move(port_owner)),
      _usable(std::move(usable)) {}

void FlowTable::set_spread_mode(pool::SpreadMode mode) { _selector.set_mode(mode); }

pool::SpreadMode FlowTable::spread_mode() const { return _selector.mode(); }

void FlowTable::use_generation(std::shared_ptr<const RelayGeneration> generation) {
  std::lock_guard guard(_lock);
  _generation = std::move(generation);
  _selector.reset();
}

bool FlowTable::_live(Flow& flow) {
  if (flow.ended) return false;
  if (_nat->holds(flow.nat_key, flow.entry)) return true;
  flow.ended = true;
  return false;
}

void FlowTable::_end(Flow& flow) {
  if (flow.ended) return;
  _nat->remove_if_same(flow.nat_key, flow.entry);
  flow.ended = true;
}

void FlowTable::_forget(const FlowKey& key) {
  auto it = _flows.find(key);
  if (it == _flows.end()) return;
  _end(it->second);
  _awaiting_reset.erase(it->second.nat_key);
  _nat_keys.erase(it->second.nat_key);
  _flows.erase(it);
}

FlowTable::Flow* FlowTable::_by_nat_key(std::uint16_t nat_key) {
  auto key = _nat_keys.find(nat_key);
  if (key == _nat_keys.end()) return nullptr;
  auto flow = _flows.find(key->second);
  return flow == _flows.end() ? nullptr : &flow->second;
}

std::uint16_t FlowTable::_nat_key_for(std::uint16_t client_port) {
  const auto free = [&](std::uint16_t port) {
    return port != 0 && _nat_keys.count(port) == 0 && !_nat->contains(port);
  };
  if (free(client_port)) return client_port;
  for (int tries = 0; tries <= 65535 - FIRST_STAND_IN_PORT; ++tries) {
    const std::uint16_t port = _next_stand_in;
    _next_stand_in = port == 65535 ? FIRST_STAND_IN_PORT : static_cast<std::uint16_t>(port + 1);
    if (free(port)) return port;
  }
  return 0;
}

std::optional<std::size_t> FlowTable::choose_relay(std::uint32_t program, std::uint16_t src_port) {
  std::lock_guard guard(_lock);
  const std::size_t count = _generation ? _generation->ports.size() : 0;
  const std::optional<pool::ProxyChoice> choice = _selector.choose({program, src_port}, count, _usable);
  if (!choice) return std::nullopt;
  return choice->index;
}

FlowTable::Opened FlowTable::open(const FlowKey& key, std::uint32_t isn, std::uint32_t pid, std::uint32_t owner) {
  Opened opened;
  const double wall = _wall_clock();
  const double now = _steady_clock();
  // Asked before the lock: the port map may list the ports afresh to answer.
  std::uint32_t program = owner != 0 ? owner : pid;
  if (program == 0 && _port_owner && _selector.mode() == pool::SpreadMode::per_program)
    program = _port_owner(key.local_port);
  std::lock_guard guard(_lock);
  const int count = _generation ? static_cast<int>(_generation->ports.size()) : 0;
  if (count == 0) return opened;
  if (auto it = _flows.find(key); it != _flows.end()) {
    Flow& earlier = it->second;
    // The same SYN again (the relay's answer was slow): it belongs to the connection it opened.
    if (earlier.isn == isn && earlier.generation && _live(earlier)) {
      earlier.last_seen = now;
      return {earlier.entry.relay_index, earlier.relay_port, earlier.nat_key, earlier.nat_key != key.local_port,
              !earlier.by_system};
    }
    // A new connection on the very same addresses: the earlier one's socket is gone.
    _forget(key);
  }
  // With every proxy down the choice still names a relay: the connection fails there, as any
  // failing connection does, and never leaves without a proxy.
  const std::optional<pool::ProxyChoice> choice =
      _selector.choose({program, key.local_port}, static_cast<std::size_t>(count), _usable);
  const int relay_index = choice ? static_cast<int>(choice->index) : 0;
  opened.relay_port = _generation->port_of(relay_index);
  opened.relay_index = relay_index;
  opened.nat_key = _nat_key_for(key.local_port);
  if (opened.nat_key == 0) return opened;
  opened.shares_port = opened.nat_key != key.local_port;

  Flow flow;
  flow.key = key;
  flow.nat_key = opened.nat_key;
  flow.entry = NatEntry{format_ipv4(key.local_addr), format_ipv4(key.remote_addr), key.remote_port, wall, relay_index};
  flow.pid = owner;
  flow.isn = isn;
  flow.relay_port = opened.relay_port;
  flow.generation = _generation;
  flow.opened_at = now;
  flow.last_seen = now;
  _nat->set(flow.nat_key, flow.entry);
  _nat_keys[flow.nat_key] = key;
  _flows.emplace(key, std::move(flow));
  return opened;
}

std::optional<FlowTable::Reply> FlowTable::relay_reply(std::uint16_t nat_key, std::uint16_t relay_port,
                                                       const SegmentFacts& segment) {
  const double now = _steady_clock();
  std::lock_guard guard(_lock);
  Flow* flow = _by_nat_key(nat_key);
  if (flow == nullptr) {
    // An entry the engine did not write itself: its key is the application's own port.
    const std::optional<NatEntry> entry = _nat->get(nat_key);
    if (!entry) return std::nullopt;
    return Reply{FlowKey{parse_ipv4(entry->original_src_ip), nat_key, parse_ipv4(entry->original_dst_ip),
                         static_cast<std::uint16_t>(entry->original_dst_port)},
                 false};
  }
  // The key's connection belongs to another relay now: not this relay's client any more.
  if (flow->relay_port != relay_port) return std::nullopt;
  flow->last_seen = now;
  Reply reply{flow->key, false};
  if (segment.fin) flow->relay_fin = true;
  if (segment.rst) {
    // Taken only with exactly the number the application last acknowledged; any other one it
    // answers, or (outside a closed window) ignores.
    const bool accepted = flow->client_ack_known && segment.seq == flow->client_ack;
    _end(*flow);
    if (accepted) flow->socket_gone = true;
    reply.reset_taken = flow->reset_at_stop && accepted;
  }
  if (!flow->relay_seq_known || static_cast<std::int32_t>(segment.seq_end - flow->relay_seq_end) > 0) {
    flow->relay_seq_end = segment.seq_end;
    flow->relay_seq_known = true;
  }
  return reply;
}

void FlowTable::carried_by_system(const FlowKey& key) {
  std::lock_guard guard(_lock);
  if (auto it = _flows.find(key); it != _flows.end()) it->second.by_system = true;
}

void FlowTable::reset_delivered(std::uint16_t nat_key) {
  std::lock_guard guard(_lock);
  if (_awaiting_reset.erase(nat_key) != 0) _resets_changed.notify_all();
}

FlowTable::Known FlowTable::known_segment(const FlowKey& key, const SegmentFacts& segment) {
  const double now = _steady_clock();
  std::lock_guard guard(_lock);
  auto it = _flows.find(key);
  if (it == _flows.end()) return {};
  Flow& flow = it->second;
  flow.last_seen = now;
  if (segment.ack) {
    flow.client_ack = segment.ack_number;
    flow.client_ack_known = true;
  }
  const Known to_relay{Verdict::to_relay, flow.relay_port, flow.nat_key};
  // The system's redirect still holds for it; once it has ended, its segments go the
  // rewritten way to the relay port, whose answer is a reset.
  if (flow.by_system && _live(flow)) return {Verdict::pass};
  if (flow.reset_at_stop) {
    // The application still sends, so it has not taken the reset: what it sends goes to the
    // relay port, whose answer is a reset with the number it expects. Its own reset means its
    // socket is gone.
    const bool changed =
        segment.rst ? _awaiting_reset.erase(flow.nat_key) != 0 : _awaiting_reset.insert(flow.nat_key).second;
    if (changed) _resets_changed.notify_all();
    if (!segment.rst) return to_relay;
    flow.socket_gone = true;
    return {Verdict::drop};
  }
  if (_live(flow)) {
    if (segment.fin) flow.client_fin = true;
    if (segment.rst) {
      // A reset ends the connection at once; a FIN only half-closes it, so the entry stays
      // until the relay's connection has ended in both directions.
      _end(flow);
      flow.socket_gone = true;
    }
    return to_relay;
  }
  if (segment.rst) {
    flow.socket_gone = true;
    return flow.generation ? to_relay : Known{Verdict::drop};
  }
  // While its relay runs, the relay's own socket answers: in order within a closing exchange,
  // with a reset the application accepts otherwise.
  if (flow.generation) return to_relay;
  // The reset the engine makes carries exactly the number the application acknowledged.
  flow.socket_gone = true;
  return {Verdict::reset};
}

std::optional<NatEntry> FlowTable::foreign_entry(std::uint16_t port) const {
  std::lock_guard guard(_lock);
  if (_nat_keys.count(port) != 0) return std::nullopt;
  return _nat->get(port);
}

void FlowTable::remove_foreign(std::uint16_t port) {
  std::lock_guard guard(_lock);
  if (_nat_keys.count(port) == 0) _nat->remove(port);
}

std::size_t FlowTable::expect_resets() {
  std::lock_guard guard(_lock);
  for (auto& [key, flow] : _flows) {
    if (!flow.generation || flow.by_system || !_live(flow)) continue;
    flow.reset_at_stop = true;
    _awaiting_reset.insert(flow.nat_key);
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

std::vector<FlowKey> FlowTable::unconfirmed() const {
  std::vector<FlowKey> out;
  std::lock_guard guard(_lock);
  for (const auto& [key, flow] : _flows)
    if (!flow.socket_gone) out.push_back(key);
  return out;
}

void FlowTable::end_all() {
  std::lock_guard guard(_lock);
  for (auto& [key, flow] : _flows) {
    flow.ended = true;
    flow.reset_at_stop = false;
    flow.generation.reset();
  }
  _awaiting_reset.clear();
  _resets_changed.notify_all();
  _nat->clear();
  _selector.reset();
  _generation.reset();
}

std::size_t FlowTable::clean_up(double stale_after, double memory, const std::unordered_set<int>& carried) {
  const double wall = _wall_clock();
  const double now = _steady_clock();
  std::lock_guard guard(_lock);
  std::size_t removed = 0;
  for (auto& [key, flow] : _flows) {
    if (_live(flow) && now - flow.opened_at > stale_after && carried.count(flow.nat_key) == 0) {
      _end(flow);
      ++removed;
    }
  }
  // Entries someone else wrote carry only their wall-clock age.
  removed += _nat->remove_where([&](int port, const NatEntry& entry) {
    return _nat_keys.count(static_cast<std::uint16_t>(port)) == 0 && wall - entry.created_at > stale_after &&
           carried.count(port) == 0;
  });
  std::vector<FlowKey> forgotten;
  for (const auto& [key, flow] : _flows) {
    // The engine sees no closing segment of a connection the system carries; its redirect
    // outlives the relay's end of it.
    const bool done = flow.socket_gone || (flow.client_fin && flow.relay_fin) || flow.by_system;
    if (flow.ended && done && now - flow.last_seen > memory) forgotten.push_back(key);
  }
  for (const auto& key : forgotten) _forget(key);
  return removed;
}

bool FlowTable::uses(const std::shared_ptr<const RelayGeneration>& generation) {
  std::lock_guard guard(_lock);
  if (generation == _generation) return true;
  for (auto& [key, flow] : _flows)
    if (flow.generation == generation && _live(flow)) return true;
  return false;
}

void FlowTable::detach(const std::vector<std::shared_ptr<const RelayGeneration>>& gone) {
  std::lock_guard guard(_lock);
  for (auto& [key, flow] : _flows)
    if (std::find(gone.begin(), gone.end(), flow.generation) != gone.end()) flow.generation.reset();
}

std::vector<FlowRecord> FlowTable::live_flows() {
  std::vector<FlowRecord> out;
  std::lock_guard guard(_lock);
  out.reserve(_flows.size());
  for (auto& [key, flow] : _flows)
    if (flow.generation && _live(flow))
      out.push_back({key, flow.nat_key, flow.pid, flow.entry, flow.relay_port, flow.generation});
  return out;
}

std::size_t FlowTable::ended_count() const {
  std::lock_guard guard(_lock);
  std::size_t count = 0;
  for (const auto& [key, flow] : _flows) {
    if (flow.ended) {
      ++count;
      continue;
    }
    const std::optional<NatEntry> entry = _nat->get(flow.nat_key);
    if (!entry || !(*entry == flow.entry)) ++count;
  }
  return count;
}

std::size_t FlowTable::size() const {
  std::lock_guard guard(_lock);
  return _flows.size();
}

std::map<std::uint32_t, int> FlowTable::pid_relay_map() const {
  std::map<std::uint32_t, int> map;
  for (const auto& [program, index] : _selector.program_proxies()) map[program] = static_cast<int>(index);
  return map;
}

int FlowTable::next_relay_index() const { return static_cast<int>(_selector.next_index()); }

std::uint32_t FlowTable::owner_of(std::uint16_t nat_key) const {
  std::lock_guard guard(_lock);
  auto key = _nat_keys.find(nat_key);
  if (key == _nat_keys.end()) return 0;
  auto flow = _flows.find(key->second);
  return flow == _flows.end() ? 0 : flow->second.pid;
}

}  // namespace tovix
