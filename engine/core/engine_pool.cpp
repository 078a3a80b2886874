#include "engine/core/engine_pool.h"

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "engine/pool/handshake_check.h"
#include "engine/pool/spread_mode.h"

namespace tovix {

EnginePool::EnginePool(PoolOptions options, HandlerFactory handlers, StatusCallback status)
    : _options(std::move(options)), _handlers(std::move(handlers)), _status(std::move(status)) {
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
      break;
    case pool::HealthEventKind::all_down:
      log->error("{}", pool::STATUS_ALL_PROXIES_DOWN);
      if (_status) _status(pool::STATUS_ALL_PROXIES_DOWN);
      break;
  }
  if (_options.health_sink) _options.health_sink(event);
}

void EnginePool::begin_run(const nlohmann::ordered_json& settings, const nlohmann::ordered_json& proxy_list) {
  _health->set_proxies(proxy_list);
  _health->reset();
  const pool::TestDestination destination = pool::test_destination_of(settings, _options.default_test_url);
  std::lock_guard guard(_lock);
  _destination = destination;
  if (_rechecker) _rechecker->set_destination(destination);
}

void EnginePool::use_proxies(const nlohmann::ordered_json& proxy_list) { _health->set_proxies(proxy_list); }

UpstreamObserver EnginePool::observer_for(const nlohmann::ordered_json& proxy_entry,
                                          const UpstreamObserver& also) const {
  UpstreamObserver health = pool::health_observer(_health, proxy_entry);
  if (!also) return health;
  return [health = std::move(health), also](const UpstreamOutcome& outcome) {
    health(outcome);
    also(outcome);
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

pool::TestDestination EnginePool::test_destination() const {
  std::lock_guard guard(_lock);
  return _destination;
}

}  // namespace tovix
