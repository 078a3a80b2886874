#pragma once
// Re-checks down proxies in the background: every tick it asks the health tracker which down
// proxies are due (each one every pool::HEALTH_RECHECK_PERIOD by the tracker's clock) and runs
// their handshakes, a few at a time, recording each result in the tracker.
//
// Threads: one loop thread (start/stop) and up to `parallel` check threads. A check blocks for
// at most its handshake time-outs; check threads share ownership of what they use, so stop()
// and the destructor return at once and a check under way finishes on its own, its result
// still recorded in the tracker. Tests call run_due_checks() instead of starting the loop and
// wait_until_idle() for the checks it started.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/pool/handshake_check.h"
#include "engine/pool/proxy_health.h"
#include "engine/pool/proxy_pool_export.h"

namespace tovix::pool {

using HandshakeCheck =
    std::function<HandshakeCheckResult(const nlohmann::ordered_json& proxy_entry, const TestDestination& destination)>;

// How often the down proxies are looked at. Outside the class: a class exported from a DLL
// cannot lend out a static member by reference.
inline constexpr std::chrono::milliseconds HEALTH_RECHECK_TICK{1000};

class PROXY_POOL_EXPORT HealthRechecker {
 public:
  static constexpr std::size_t MAX_PARALLEL = 4;

  // `check` defaults to check_handshake with the relay's handlers.
  HealthRechecker(std::shared_ptr<ProxyHealth> health, TestDestination destination, HandshakeCheck check = {},
                  std::chrono::milliseconds tick = HEALTH_RECHECK_TICK, std::size_t parallel = MAX_PARALLEL);
  ~HealthRechecker();
  HealthRechecker(const HealthRechecker&) = delete;
  HealthRechecker& operator=(const HealthRechecker&) = delete;

  void start();
  // Ends the loop; queued checks are dropped, running ones finish on their own.
  void stop();
  bool is_running() const;

  void set_destination(TestDestination destination);
  // One tick's work: queues the due proxies not already queued or running. Returns how many
  // were queued.
  std::size_t run_due_checks();
  // Checks queued or running.
  std::size_t pending() const;
  bool wait_until_idle(std::chrono::milliseconds timeout) const;

  struct State;

 private:
  std::shared_ptr<State> _state;
  std::thread _loop;
};

}  // namespace tovix::pool
