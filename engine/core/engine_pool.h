#pragma once
// The engine's side of the proxy pool: the health of the proxies in use, learnt from every
// relay's handshakes and, for down proxies, from re-checks in the background while a run lasts.
// New connections are given relays by FlowTable over `is_up`.
//
// A health event goes to the owner's sink (the user's notice of a failing proxy, once per
// episode); every proxy being down also becomes the engine's status, told once.
//
// Threads: the owner's thread begins runs, hands over lists and starts and stops the re-checks;
// the relays' handshake threads and the re-check threads record outcomes; is_up is read on the
// packet thread. The status callback and the sink are called under the tracker's lock: they
// must not block nor call back into the pool.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/core/tunnel_core_export.h"
#include "engine/pool/health_rechecker.h"
#include "engine/pool/proxy_health.h"
#include "engine/relay/relay_hub.h"

namespace tovix {

struct PoolOptions {
  pool::HealthSink health_sink;  // told of every health event
  pool::WallClock clock;         // empty: the system clock
  std::chrono::milliseconds recheck_period{pool::HEALTH_RECHECK_PERIOD};
  std::chrono::milliseconds recheck_tick{pool::HEALTH_RECHECK_TICK};
  pool::HandshakeCheck check;  // empty: a handshake through the engine's own upstream handlers
  // Where re-checks go when the settings name no destination: the application's first
  // what-is-my-IP service.
  std::string default_test_url;
};

class TUNNEL_CORE_EXPORT EnginePool {
 public:
  using StatusCallback = std::function<void(const std::string& text)>;

  EnginePool(PoolOptions options, HandlerFactory handlers, StatusCallback status);
  ~EnginePool();
  EnginePool(const EnginePool&) = delete;
  EnginePool& operator=(const EnginePool&) = delete;

  // A new run over `proxy_list`: every proxy up again, the test destination from `settings`.
  void begin_run(const nlohmann::ordered_json& settings, const nlohmann::ordered_json& proxy_list);
  // A hot update's list; proxies still listed keep their state.
  void use_proxies(const nlohmann::ordered_json& proxy_list);
  // The relay of `proxy_entry` reports to the tracker and to `also`.
  UpstreamObserver observer_for(const nlohmann::ordered_json& proxy_entry, const UpstreamObserver& also) const;

  void start_rechecks();
  // Joins the re-check loop; a check under way finishes on its own.
  void stop_rechecks();
  // No sink or status call starts after this returns.
  void detach();

  bool is_up(std::size_t index) const { return _health->is_up(index); }
  std::shared_ptr<pool::ProxyHealth> health() const { return _health; }
  pool::TestDestination test_destination() const;

 private:
  void _on_event(const pool::HealthEvent& event);

  const PoolOptions _options;
  const HandlerFactory _handlers;
  const StatusCallback _status;
  std::shared_ptr<pool::ProxyHealth> _health;

  mutable std::mutex _lock;  // _rechecker, _destination
  std::unique_ptr<pool::HealthRechecker> _rechecker;
  pool::TestDestination _destination;
};

}  // namespace tovix
