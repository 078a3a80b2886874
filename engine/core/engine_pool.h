#pragma once
// The engine's side of the proxy pool: the health of the proxies in use, learnt from every
// relay's handshakes and, for down proxies, from re-checks in the background while a run lasts.
// New connections are given relays by FlowTable over `is_up`.
//
// A health event goes to the owner's sink (the user's notice of a failing proxy, once per
// episode); every proxy being down also becomes the engine's status, told once, and the first
// proxy back after that puts the running status back.
//
// With a usage store, each relay's connections and bytes are counted for its proxy: the
// engine samples the relays' totals while a run lasts and saves the store periodically and
// when the run ends.
//
// Threads: the owner's thread begins runs, hands over lists and starts and stops the re-checks;
// the relays' handshake threads and the re-check threads record outcomes; is_up is read on the
// packet thread. The status callback and the sink are called under the tracker's lock: they
// must not block nor call back into the pool.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/core/tunnel_core_export.h"
#include "engine/pool/health_rechecker.h"
#include "engine/pool/proxy_health.h"
#include "engine/pool/usage_sampler.h"
#include "engine/pool/usage_store.h"
#include "engine/relay/relay_hub.h"

namespace tovix {

// How often the relays' byte totals go into the usage store, and how often it is written.
inline constexpr std::chrono::seconds USAGE_SAMPLE_PERIOD{2};
inline constexpr std::chrono::seconds USAGE_SAVE_PERIOD{60};

struct PoolOptions {
  pool::HealthSink health_sink;  // told of every health event
  pool::WallClock clock;         // empty: the system clock
  std::chrono::milliseconds recheck_period{pool::HEALTH_RECHECK_PERIOD};
  std::chrono::milliseconds recheck_tick{pool::HEALTH_RECHECK_TICK};
  pool::HandshakeCheck check;  // empty: a handshake through the engine's own upstream handlers
  // Where re-checks go when the settings name no destination: the application's first
  // what-is-my-IP service.
  std::string default_test_url;
  // Where each proxy's usage is counted; empty: it is not.
  std::shared_ptr<pool::UsageStore> usage;
  std::chrono::milliseconds usage_save_period{USAGE_SAVE_PERIOD};
};

class TUNNEL_CORE_EXPORT EnginePool {
 public:
  using StatusCallback = std::function<void(const std::string& text)>;
  // The engine's status while it runs normally, shown again when a proxy comes back after all
  // were down.
  using RunningStatus = std::function<std::string()>;

  EnginePool(PoolOptions options, HandlerFactory handlers, StatusCallback status, RunningStatus running = {});
  ~EnginePool();
  EnginePool(const EnginePool&) = delete;
  EnginePool& operator=(const EnginePool&) = delete;

  // A new run over `proxy_list`: every proxy up again, the test destination from `settings`.
  void begin_run(const nlohmann::ordered_json& settings, const nlohmann::ordered_json& proxy_list);
  // A hot update's list; proxies still listed keep their state.
  void use_proxies(const nlohmann::ordered_json& proxy_list);
  // The relay of `proxy_entry` reports to the tracker, to the usage store and to `also`.
  UpstreamObserver observer_for(const nlohmann::ordered_json& proxy_entry, const UpstreamObserver& also) const;

  void start_rechecks();
  // Joins the re-check loop; a check under way finishes on its own.
  void stop_rechecks();
  // No sink or status call starts after this returns.
  void detach();

  bool is_up(std::size_t index) const { return _health->is_up(index); }
  std::shared_ptr<pool::ProxyHealth> health() const { return _health; }
  pool::TestDestination test_destination() const;

  // The relays' running byte totals (see UsageSampler); nothing without a usage store.
  void count_usage(const std::vector<pool::RelayTotals>& relays);
  // Writes the usage store when it changed.
  void save_usage();
  bool counts_usage() const { return _options.usage != nullptr; }
  std::shared_ptr<const pool::UsageStore> usage() const { return _options.usage; }

 private:
  void _on_event(const pool::HealthEvent& event);

  const PoolOptions _options;
  const HandlerFactory _handlers;
  const StatusCallback _status;
  const RunningStatus _running_status;
  std::shared_ptr<pool::ProxyHealth> _health;
  // Set while the all-down status is the last pool status told.
  std::atomic<bool> _all_down_shown{false};

  std::mutex _usage_lock;  // one sample at a time
  pool::UsageSampler _usage_sampler;

  mutable std::mutex _lock;  // _rechecker, _destination
  std::unique_ptr<pool::HealthRechecker> _rechecker;
  pool::TestDestination _destination;
};

}  // namespace tovix
