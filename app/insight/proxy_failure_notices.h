#pragma once
// Tells the user once that a proxy fails, not once per connection: the first connection that
// fails at a proxy (refused, rejected credentials, time-out) produces one status text; the
// proxy's further failures stay quiet until a connection through it succeeds again or the
// engine restarts. Destinations the proxy could not reach say nothing about the proxy.
//
// observe() is called on the relays' connection threads; the sink is called on them too,
// under a lock that detach() also takes, so no sink call is under way once detach() returns.
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "app/insight/insight_core_export.h"
#include "engine/pool/proxy_health.h"
#include "engine/relay/relay_hub.h"

namespace tovix::insight {

class INSIGHT_CORE_EXPORT ProxyFailureNotices {
 public:
  using Sink = std::function<void(const std::string& text)>;
  explicit ProxyFailureNotices(Sink sink);

  void observe(const UpstreamOutcome& outcome);
  // The engine's health tracker decides when a proxy's failure is news: the first failure of
  // each episode (a proxy that came back may be told of again).
  void observe_health(const pool::HealthEvent& event);
  // Every proxy may be reported again (a new engine run, a changed proxy list).
  void reset();
  void detach();

  // "代理 host:port 连接失败: reason", the handler's own naming of the proxy left out.
  static std::string notice_text(const UpstreamOutcome& outcome);

 private:
  std::mutex _lock;
  Sink _sink;
  std::set<std::string> _failing;
};

// The handler's error text without its leading naming of the proxy ("SOCKS5 proxy host:port: ",
// "cannot connect to host:port: "), for places that name the proxy already; "未知错误" when
// nothing is left.
INSIGHT_CORE_EXPORT std::string handler_reason(const std::string& error, const std::string& host, int port);

// An observer for the relays that keeps the notices alive as long as a relay may call it.
INSIGHT_CORE_EXPORT UpstreamObserver observer_for(std::shared_ptr<ProxyFailureNotices> notices);
// The same for the engine's health tracker.
INSIGHT_CORE_EXPORT pool::HealthSink health_sink_for(std::shared_ptr<ProxyFailureNotices> notices);

}  // namespace tovix::insight
