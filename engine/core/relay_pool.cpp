#include "engine/core/relay_pool.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "engine/core/engine_settings.h"

namespace tovix {
namespace {

constexpr const char* RELAY_HOST = "127.0.0.1";

void stop_all(const std::vector<std::shared_ptr<RelayHub>>& hubs) {
  for (const auto& hub : hubs) {
    try {
      hub->stop();
    } catch (...) {
    }
  }
}

void stop_generation(const RelayGeneration& generation) {
  for (const auto& slot : generation.slots)
    if (slot.hub) stop_all({slot.hub});
}

// The one place relay counts are summed.
void add_counts(const RelayGeneration& generation, std::uint64_t& up, std::uint64_t& down) {
  for (const auto& slot : generation.slots) {
    if (!slot.hub) continue;
    const auto [u, d] = slot.hub->get_traffic();
    up += u;
    down += d;
  }
}

}  // namespace

std::shared_ptr<const RelayGeneration> RelayGeneration::of(std::vector<RelaySlot> slots) {
  auto generation = std::make_shared<RelayGeneration>();
  for (auto& slot : slots) {
    generation->ports.push_back(slot.port);
    generation->slots.push_back(std::move(slot));
  }
  return generation;
}

int RelayGeneration::port_of(int relay_index) const {
  if (relay_index < 0 || static_cast<std::size_t>(relay_index) >= ports.size())
    throw std::out_of_range("中继序号 " + std::to_string(relay_index) + " 超出中继列表 (" +
                            std::to_string(ports.size()) + " 个)");
  return ports[static_cast<std::size_t>(relay_index)];
}

RelayPool::RelayPool(std::shared_ptr<NatTable> nat_table, HandlerFactory handlers, ObserverFactory observers,
                     RelayOptions options)
    : _nat_table(std::move(nat_table)),
      _handlers(std::move(handlers)),
      _observers(std::move(observers)),
      _options(std::move(options)) {
  _publish(RelayGeneration::of({}), {});
}

RelayPool::~RelayPool() { close(); }

void RelayPool::open() {
  std::lock_guard guard(_lock);
  _closed = false;
  _stopped_up = 0;
  _stopped_down = 0;
}

std::shared_ptr<const RelayGeneration> RelayPool::start_generation(const nlohmann::ordered_json& proxy_list,
                                                                   const Announce& announce) {
  std::vector<RelaySlot> slots;
  // Takes the started relays back from the starting list: those close() has not taken over
  // (and stopped) yet. Returns whether the pool was closed meanwhile.
  const auto take_back = [&](std::vector<std::shared_ptr<RelayHub>>& ours) {
    std::lock_guard guard(_lock);
    for (const auto& slot : slots) {
      auto it = std::find(_starting.begin(), _starting.end(), slot.hub);
      if (it == _starting.end()) continue;
      _starting.erase(it);
      ours.push_back(slot.hub);
    }
    return _closed;
  };
  const auto stop_ours = [&] {
    std::vector<std::shared_ptr<RelayHub>> ours;
    take_back(ours);
    stop_all(ours);
  };
  try {
    for (std::size_t index = 0; index < proxy_list.size(); ++index) {
      const auto& entry = proxy_list[index];
      auto hub = std::make_shared<RelayHub>(_nat_table, entry, _handlers,
                                            _observers ? _observers(entry) : UpstreamObserver{}, _options);
      const SocketAddress bound = hub->start(RELAY_HOST, 0);
      bool closed = false;
      {
        std::lock_guard guard(_lock);
        closed = _closed;
        if (!closed) _starting.push_back(hub);
      }
      if (closed) {
        stop_all({hub});
        stop_ours();
        return nullptr;
      }
      slots.push_back({hub, bound.second, entry});
      if (announce) announce(index, entry, bound.second);
    }
  } catch (...) {
    stop_ours();
    throw;
  }
  std::vector<std::shared_ptr<RelayHub>> ours;
  if (take_back(ours)) {
    stop_all(ours);
    return nullptr;
  }
  return RelayGeneration::of(std::move(slots));
}

bool RelayPool::install(std::shared_ptr<const RelayGeneration> generation) {
  {
    std::lock_guard guard(_lock);
    if (!_closed) {
      _publish(generation, _view->retiring);
      return true;
    }
  }
  stop_generation(*generation);
  return false;
}

bool RelayPool::replace(std::shared_ptr<const RelayGeneration> generation) {
  {
    std::lock_guard guard(_lock);
    if (!_closed) {
      auto retiring = _view->retiring;
      if (!_view->current->slots.empty()) retiring.push_back(_view->current);
      _publish(std::move(generation), std::move(retiring));
      return true;
    }
  }
  stop_generation(*generation);
  return false;
}

void RelayPool::retire(const std::vector<std::shared_ptr<const RelayGeneration>>& done) {
  std::vector<std::shared_ptr<const RelayGeneration>> claimed;
  {
    std::lock_guard guard(_lock);
    auto retiring = _view->retiring;
    for (const auto& generation : done) {
      auto it = std::find(retiring.begin(), retiring.end(), generation);
      if (it == retiring.end()) continue;  // another caller stops it
      retiring.erase(it);
      claimed.push_back(generation);
    }
    _stopping.insert(_stopping.end(), claimed.begin(), claimed.end());
    _publish(_view->current, std::move(retiring));
  }
  _stop_claimed(claimed);
}

void RelayPool::close() {
  std::vector<std::shared_ptr<const RelayGeneration>> claimed;
  std::vector<std::shared_ptr<RelayHub>> starting;
  {
    std::lock_guard guard(_lock);
    _closed = true;
    claimed = _view->retiring;
    claimed.push_back(_view->current);
    starting.swap(_starting);
    _stopping.insert(_stopping.end(), claimed.begin(), claimed.end());
    _publish(RelayGeneration::of({}), {});
  }
  stop_all(starting);
  _stop_claimed(claimed);
}

// Generations taken out of the view by one caller, which alone stops them; they count in the
// totals all the while, and their counts stay once they have stopped.
void RelayPool::_stop_claimed(const std::vector<std::shared_ptr<const RelayGeneration>>& claimed) {
  for (const auto& generation : claimed) stop_generation(*generation);
  std::lock_guard guard(_lock);
  for (const auto& generation : claimed) {
    add_counts(*generation, _stopped_up, _stopped_down);
    auto it = std::find(_stopping.begin(), _stopping.end(), generation);
    if (it != _stopping.end()) _stopping.erase(it);
  }
}

void RelayPool::_publish(std::shared_ptr<const RelayGeneration> current,
                         std::vector<std::shared_ptr<const RelayGeneration>> retiring) {
  auto next = std::make_shared<RelayView>();
  next->current = std::move(current);
  next->retiring = std::move(retiring);
  for (int port : next->current->ports) next->reply_ports.insert(static_cast<std::uint16_t>(port));
  for (const auto& generation : next->retiring)
    for (int port : generation->ports) next->reply_ports.insert(static_cast<std::uint16_t>(port));
  _view = std::move(next);
}

std::shared_ptr<const RelayView> RelayPool::view() const {
  std::lock_guard guard(_lock);
  return _view;
}

std::vector<std::shared_ptr<RelayHub>> RelayPool::running_hubs() const {
  std::lock_guard guard(_lock);
  std::vector<std::shared_ptr<RelayHub>> hubs = _starting;
  auto add = [&](const RelayGeneration& generation) {
    for (const auto& slot : generation.slots)
      if (slot.hub) hubs.push_back(slot.hub);
  };
  add(*_view->current);
  for (const auto& generation : _view->retiring) add(*generation);
  return hubs;
}

std::pair<std::uint64_t, std::uint64_t> RelayPool::traffic() const {
  std::lock_guard guard(_lock);
  std::uint64_t up = _stopped_up;
  std::uint64_t down = _stopped_down;
  add_counts(*_view->current, up, down);
  for (const auto& generation : _view->retiring) add_counts(*generation, up, down);
  for (const auto& generation : _stopping) add_counts(*generation, up, down);
  return {up, down};
}

std::vector<RelayTraffic> RelayPool::relay_traffic() const {
  const std::shared_ptr<const RelayView> current = view();
  std::vector<RelayTraffic> out;
  auto add = [&](const RelayGeneration& generation, bool retired) {
    for (std::size_t i = 0; i < generation.slots.size(); ++i) {
      const RelaySlot& slot = generation.slots[i];
      RelayTraffic traffic;
      traffic.relay_index = static_cast<int>(i);
      traffic.port = slot.port;
      traffic.proxy_host = engine_settings::text_setting(slot.proxy, "host");
      traffic.proxy_port = engine_settings::relay_proxy_port(slot.proxy);
      traffic.retired = retired;
      if (slot.hub) {
        traffic.live_connections = slot.hub->live_connections();
        std::tie(traffic.bytes_up, traffic.bytes_down) = slot.hub->get_traffic();
      }
      out.push_back(std::move(traffic));
    }
  };
  add(*current->current, false);
  for (const auto& generation : current->retiring) add(*generation, true);
  return out;
}

}  // namespace tovix
