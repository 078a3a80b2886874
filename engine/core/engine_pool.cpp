#include "engine/core/engine_pool.h"

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "engine/pool/handshake_check.h"
#include "engine/pool/pool_texts.h"
#include "engine/pool/spread_mode.h"

namespace tovix {

EnginePool::EnginePool(PoolOptions options, HandlerFactory handlers, StatusCallback status, RunningStatus running)
    : _options(std::move(options)),
      _handlers(std::move(handlers)),
      _status(std::move(status)),
      _running_status(std::move(running)),
      _usage_sampler(_options.usage) {
  pool::WallClock clock = _options.clock ? _options.clock : pool::WallClock(std::chrono::system_clock::now);
  _health = std::make_shared<pool::ProxyHealth>(
      std::move(clock), [this](const pool::HealthEvent& event) { _on_event(event); }, _options.recheck_period);
}

EnginePool::~EnginePool() {
  detach();
  stop_rechecks();
}

void EnginePool::detach() { _health->detach(); }

void EnginePool::_on_event(const pool::HealthEvent& event) {
  auto log = get_logger(LOGGER_ENGINE);
  switch (event.kind) {
    case pool::HealthEventKind::first_failure:
      log->warn("代理 {} 连接失败: {}", event.proxy.address(), event.reason);
      break;
    case pool::HealthEventKind::marked_down:
      log->warn("代理 {} 连续失败，暂停使用，每 {} 秒重新检测", event.proxy.address(),
                std::chrono::duration_cast<std::chrono::seconds>(_options.recheck_period).count());
      break;
    case pool::HealthEventKind::recovered:
      log->info("代理 {} 已恢复", event.proxy.address());
      // The status still says every proxy is down: it says what is true again.
      if (_all_down_shown.exchange(false) && _status) {
        const std::string running = _running_status ? _running_status() : std::string();
        _status(running.empty() ? pool::event_text(event) : running);
      }
      break;
    case pool::HealthEventKind::all_down:
      log->error("{}", pool::STATUS_ALL_PROXIES_DOWN);
      _all_down_shown = true;
      if (_status) _status(pool::STATUS_ALL_PROXIES_DOWN);
      break;
  }
  if (_options.health_sink) _options.health_sink(event);
}

void EnginePool::begin_run(const nlohmann::ordered_json& settings, const nlohmann::ordered_json& proxy_list) {
  _health->set_proxies(proxy_list);
  _health->reset();
  _all_down_shown = false;
  if (_options.usage) {
    std::lock_guard guard(_usage_lock);
    _options.usage->start_session();
    _usage_sampler.reset();
  }
  const pool::TestDestination destination = pool::test_destination_of(settings, _options.default_test_url);
  std::lock_guard guard(_lock);
  _destination = destination;
  if (_rechecker) _rechecker->set_destination(destination);
}

void EnginePool::use_proxies(const nlohmann::ordered_json& proxy_list) { _health->set_proxies(proxy_list); }

UpstreamObserver EnginePool::observer_for(const nlohmann::ordered_json& proxy_entry,
                                          const UpstreamObserver& also) const {
  std::vector<UpstreamObserver> observers{pool::health_observer(_health, proxy_entry)};
  if (_options.usage) observers.push_back(pool::usage_observer(_options.usage, proxy_entry));
  if (also) observers.push_back(also);
  if (observers.size() == 1) return observers.front();
  return [observers = std::move(observers)](const UpstreamOutcome& outcome) {
    for (const auto& observer : observers) observer(outcome);
  };
}

void EnginePool::start_rechecks() {
  std::lock_guard guard(_lock);
  if (_rechecker) return;
  pool::HandshakeCheck check = _options.check;
  if (!check) {
    check = [handlers = _handlers](const nlohmann::ordered_json& entry, const pool::TestDestination& destination) {
      return pool::check_handshake(entry, destination, handlers);
    };
  }
  _rechecker = std::make_unique<pool::HealthRechecker>(_health, _destination, std::move(check), _options.recheck_tick);
  _rechecker->start();
}

void EnginePool::stop_rechecks() {
  std::unique_ptr<pool::HealthRechecker> rechecker;
  {
    std::lock_guard guard(_lock);
    rechecker = std::move(_rechecker);
  }
  if (rechecker) rechecker->stop();
}

void EnginePool::count_usage(const std::vector<pool::RelayTotals>& relays) {
  if (!_options.usage) return;
  std::lock_guard guard(_usage_lock);
  _usage_sampler.sample(relays);
}

void EnginePool::save_usage() {
  if (_options.usage) _options.usage->save();
}

pool::TestDestination EnginePool::test_destination() const {
  std::lock_guard guard(_lock);
  return _destination;
}

}  // namespace tovix
