#pragma once
// A hand-driven wall clock, proxy entries and outcomes for the pool's tests.
#include <atomic>
#include <chrono>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/pool/proxy_identity.h"
#include "engine/relay/relay_hub.h"

namespace tovix::pool::testing {

using Json = nlohmann::ordered_json;

class ManualClock {
 public:
  std::chrono::system_clock::time_point now() const { return _now.load(); }
  void advance(std::chrono::milliseconds by) { _now.store(_now.load() + by); }
  auto function() {
    return [this] { return now(); };
  }

 private:
  std::atomic<std::chrono::system_clock::time_point> _now{std::chrono::system_clock::time_point{} +
                                                          std::chrono::hours(24 * 365 * 50)};
};

inline Json proxy_entry(const std::string& host, int port = 1080, const std::string& user = "u",
                        const std::string& password = "p") {
  return Json{{"type", "socks5"}, {"host", host}, {"port", port}, {"username", user}, {"password", password}};
}

inline Json proxy_list(std::initializer_list<Json> entries) { return Json(entries); }

inline UpstreamOutcome outcome_of(const Json& entry, bool succeeded, bool at_proxy, const std::string& error = {}) {
  const ProxyIdentity proxy = identity_of(entry);
  return {proxy.type, proxy.host, proxy.port, succeeded, at_proxy, error};
}
inline UpstreamOutcome refused(const Json& entry) {
  return outcome_of(entry, false, true, "SOCKS5 proxy " + identity_of(entry).address() + ": connection refused");
}
inline UpstreamOutcome worked(const Json& entry) { return outcome_of(entry, true, false); }
inline UpstreamOutcome unreachable_destination(const Json& entry) {
  return outcome_of(entry, false, false, "CONNECT refused: host unreachable");
}

}  // namespace tovix::pool::testing
