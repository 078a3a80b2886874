#pragma once
// Runs proxy checks off the caller's thread, a few at a time, so that "check all" over a long
// list neither starts a thread per proxy nor waits behind one slow proxy.
//
// Threads: submit() from any thread; checks and the `done` callback run on worker threads
// that share ownership of what they use. Destroying the runner drops the queued checks and
// returns at once; a check already running ends on its own (bounded by its time-outs) and
// its result goes nowhere: no `done` call starts once the destructor has returned.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "app/insight/insight_core_export.h"
#include "app/insight/proxy_check.h"

namespace tovix::insight {

class INSIGHT_CORE_EXPORT ProxyCheckRunner {
 public:
  using Check = std::function<ProxyCheckResult(const nlohmann::ordered_json& proxy_entry)>;
  using Done = std::function<void(const std::string& key, const ProxyCheckResult& result)>;
  static constexpr std::size_t MAX_PARALLEL = 4;

  ProxyCheckRunner(Check check, Done done, std::size_t parallel = MAX_PARALLEL);
  ~ProxyCheckRunner();
  ProxyCheckRunner(const ProxyCheckRunner&) = delete;
  ProxyCheckRunner& operator=(const ProxyCheckRunner&) = delete;

  // Queues a check of `proxy_entry` under `key`; false (nothing queued) while a check of that
  // key is queued or running, so repeated clicks do not pile up.
  bool submit(const std::string& key, nlohmann::ordered_json proxy_entry);
  // Checks queued or running.
  std::size_t pending() const;
  // True when no check is queued or running any more (and no worker thread is left).
  bool wait_until_idle(std::chrono::milliseconds timeout) const;

  struct State;

 private:
  std::shared_ptr<State> _state;
};

}  // namespace tovix::insight
