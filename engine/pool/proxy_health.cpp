#include "engine/pool/proxy_health.h"

#include <algorithm>
#include <utility>

namespace tovix::pool {

ProxyHealth::ProxyHealth(WallClock clock, HealthSink sink, std::chrono::milliseconds recheck_period)
    : _clock(std::move(clock)), _recheck_period(recheck_period), _sink(std::move(sink)) {}

void ProxyHealth::set_proxies(const nlohmann::ordered_json& proxy_list) {
  std::lock_guard guard(_lock);
  std::vector<Slot> old = std::move(_slots);
  std::vector<bool> taken(old.size(), false);
  _slots.clear();
  if (proxy_list.is_array()) {
    for (const auto& entry : proxy_list) {
      Slot slot{identity_of(entry), entry, {}, false, {}};
      slot.view.identity = slot.identity;
      // The same record keeps what was learnt of it; a changed password may have mended
      // what made the proxy fail, so it starts afresh.
      for (std::size_t i = 0; i < old.size(); ++i) {
        if (!taken[i] && old[i].entry == entry) {
          slot = std::move(old[i]);
          taken[i] = true;
          break;
        }
      }
      _slots.push_back(std::move(slot));
    }
  }
  if (!_all_down_locked()) _all_down_told = false;
}

void ProxyHealth::reset() {
  std::lock_guard guard(_lock);
  for (Slot& slot : _slots) {
    slot.view = ProxyHealthView{};
    slot.view.identity = slot.identity;
    slot.notified = false;
  }
  _all_down_told = false;
}

void ProxyHealth::detach() {
  std::lock_guard guard(_lock);
  _sink = nullptr;
}

template <typename Visit>
void ProxyHealth::_for_each_slot_of(const ProxyIdentity& proxy, Visit&& visit) {
  // Two equal entries in the list are one proxy: what one relay learns holds for both.
  for (Slot& slot : _slots) {
    if (slot.identity == proxy) visit(slot);
  }
}

void ProxyHealth::record(const ProxyIdentity& proxy, const UpstreamOutcome& outcome) {
  const auto now = _clock();
  std::lock_guard guard(_lock);
  std::vector<HealthEvent> events;
  _for_each_slot_of(proxy, [&](Slot& slot) {
    // A destination the proxy could not reach: the proxy itself answered.
    if (outcome.succeeded || !outcome.at_proxy) {
      _worked(slot, now, events);
    } else {
      _failed(slot, outcome.error, now, events);
    }
  });
  _emit(events);
}

void ProxyHealth::record_recheck(const ProxyIdentity& proxy, bool succeeded, const std::string& error) {
  const auto now = _clock();
  std::lock_guard guard(_lock);
  std::vector<HealthEvent> events;
  _for_each_slot_of(proxy, [&](Slot& slot) {
    if (succeeded) {
      _worked(slot, now, events);
    } else {
      _failed(slot, error, now, events);
      slot.next_check = now + _recheck_period;
    }
  });
  _emit(events);
}

void ProxyHealth::_failed(Slot& slot, const std::string& error, std::chrono::system_clock::time_point now,
                          std::vector<HealthEvent>& events) {
  ProxyHealthView& view = slot.view;
  view.last_reason = error;
  view.last_failure = now;
  view.consecutive_failures += 1;
  if (!slot.notified) {
    slot.notified = true;
    events.push_back({HealthEventKind::first_failure, slot.identity, error, now});
  }
  if (view.state == ProxyState::up && view.consecutive_failures >= FAILURES_TO_MARK_DOWN) {
    view.state = ProxyState::down;
    view.since = now;
    slot.next_check = now + _recheck_period;
    events.push_back({HealthEventKind::marked_down, slot.identity, error, now});
    if (!_all_down_told && _all_down_locked()) {
      _all_down_told = true;
      events.push_back({HealthEventKind::all_down, {}, {}, now});
    }
  }
}

void ProxyHealth::_worked(Slot& slot, std::chrono::system_clock::time_point now, std::vector<HealthEvent>& events) {
  ProxyHealthView& view = slot.view;
  view.consecutive_failures = 0;
  if (view.state != ProxyState::down) return;
  view.state = ProxyState::up;
  view.since = now;
  slot.notified = false;
  _all_down_told = false;
  events.push_back({HealthEventKind::recovered, slot.identity, {}, now});
}

bool ProxyHealth::_all_down_locked() const {
  return !_slots.empty() && std::all_of(_slots.begin(), _slots.end(),
                                        [](const Slot& slot) { return slot.view.state == ProxyState::down; });
}

void ProxyHealth::_emit(const std::vector<HealthEvent>& events) {
  if (!_sink) return;
  for (const HealthEvent& event : events) {
    try {
      _sink(event);
    } catch (...) {
      // A receiver's failure must not undo what was learnt, nor reach a relay's thread.
    }
  }
}

bool ProxyHealth::is_up(std::size_t index) const {
  std::lock_guard guard(_lock);
  return index < _slots.size() && _slots[index].view.state == ProxyState::up;
}

bool ProxyHealth::all_down() const {
  std::lock_guard guard(_lock);
  return _all_down_locked();
}

std::size_t ProxyHealth::size() const {
  std::lock_guard guard(_lock);
  return _slots.size();
}

std::vector<ProxyHealthView> ProxyHealth::snapshot() const {
  std::lock_guard guard(_lock);
  std::vector<ProxyHealthView> views;
  views.reserve(_slots.size());
  for (const Slot& slot : _slots) views.push_back(slot.view);
  return views;
}

std::optional<ProxyHealthView> ProxyHealth::view_of(const ProxyIdentity& proxy) const {
  std::lock_guard guard(_lock);
  for (const Slot& slot : _slots) {
    if (slot.identity == proxy) return slot.view;
  }
  return std::nullopt;
}

std::vector<nlohmann::ordered_json> ProxyHealth::due_for_recheck() {
  const auto now = _clock();
  std::lock_guard guard(_lock);
  std::vector<nlohmann::ordered_json> due;
  std::vector<ProxyIdentity> handed_out;
  for (Slot& slot : _slots) {
    if (slot.view.state != ProxyState::down || now < slot.next_check) continue;
    slot.next_check = now + _recheck_period;
    // Equal entries are one proxy: one check serves them all.
    if (std::find(handed_out.begin(), handed_out.end(), slot.identity) != handed_out.end()) continue;
    handed_out.push_back(slot.identity);
    due.push_back(slot.entry);
  }
  return due;
}

UpstreamObserver health_observer(std::shared_ptr<ProxyHealth> health, const nlohmann::ordered_json& proxy_entry) {
  return [health = std::move(health), proxy = identity_of(proxy_entry)](const UpstreamOutcome& outcome) {
    if (outcome.proxy_host != proxy.host || outcome.proxy_port != proxy.port) return;
    health->record(proxy, outcome);
  };
}

}  // namespace tovix::pool
