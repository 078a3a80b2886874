#pragma once
// Passive health of the upstream proxies, learnt from how the relays' handshakes turn out.
//
// A proxy whose handshakes fail at the proxy itself (refused, timed out, credentials rejected,
// an error reply) FAILURES_TO_MARK_DOWN times in a row is down: new connections should go
// elsewhere. A handshake that gets through the proxy (even to a destination the proxy could
// not reach) proves the proxy works. A down proxy comes back with the first handshake that
// gets through, its own or a background re-check's (HealthRechecker asks due_for_recheck).
//
// Events, each told once: the first failure of an episode (the notice the user sees), a proxy
// going down, a proxy coming back (which ends its episode: its next failure is told again), and
// every listed proxy being down.
//
// Threads: every operation is safe from any thread. The sink is called under the tracker's
// lock, in the order the events happened; it must not block nor call back into the tracker.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/pool/proxy_identity.h"
#include "engine/pool/proxy_pool_export.h"
#include "engine/relay/relay_hub.h"

namespace tovix::pool {

using WallClock = std::function<std::chrono::system_clock::time_point()>;

enum class ProxyState { up, down };

struct ProxyHealthView {
  ProxyIdentity identity;
  ProxyState state = ProxyState::up;
  int consecutive_failures = 0;
  std::string last_reason;  // the last failure's text, kept after recovery; empty when none
  // When the proxy went down or came back; empty while it has never been down.
  std::optional<std::chrono::system_clock::time_point> since;
  std::optional<std::chrono::system_clock::time_point> last_failure;
};

enum class HealthEventKind {
  first_failure,  // the first handshake failure of an episode
  marked_down,
  recovered,
  all_down,  // every listed proxy is down (told again only after one has come back)
};

struct HealthEvent {
  HealthEventKind kind;
  ProxyIdentity proxy;  // empty for all_down
  std::string reason;   // the handler's failure text (first_failure, marked_down)
  std::chrono::system_clock::time_point at;
};

using HealthSink = std::function<void(const HealthEvent&)>;

// Outside the class: a DLL does not export a class's constexpr members to the code that uses them.
inline constexpr int FAILURES_TO_MARK_DOWN = 3;
inline constexpr std::chrono::seconds HEALTH_RECHECK_PERIOD{30};

class PROXY_POOL_EXPORT ProxyHealth {
 public:
  // `recheck_period`: how long a down proxy waits between re-checks (shorter in tests).
  explicit ProxyHealth(WallClock clock = std::chrono::system_clock::now, HealthSink sink = {},
                       std::chrono::milliseconds recheck_period = HEALTH_RECHECK_PERIOD);
  ProxyHealth(const ProxyHealth&) = delete;
  ProxyHealth& operator=(const ProxyHealth&) = delete;

  // The proxies in use, in relay order (ProxyEntry records). A proxy still listed keeps its
  // state; a new one starts up.
  void set_proxies(const nlohmann::ordered_json& proxy_list);
  // A new engine run: every proxy is up again with no failure counted, episodes closed.
  void reset();
  // No sink call starts after this returns.
  void detach();

  // How a relayed connection's handshake through `proxy` went; the engine wraps each relay's
  // observer with its entry's identity (the outcome itself carries no user name).
  void record(const ProxyIdentity& proxy, const UpstreamOutcome& outcome);
  // How a background re-check went; `error` is the handler's text when it failed.
  void record_recheck(const ProxyIdentity& proxy, bool succeeded, const std::string& error);

  // Whether the proxy at `index` of the list takes new connections (an index past the list: no).
  bool is_up(std::size_t index) const;
  bool all_down() const;
  std::size_t size() const;
  std::vector<ProxyHealthView> snapshot() const;
  std::optional<ProxyHealthView> view_of(const ProxyIdentity& proxy) const;

  // Down proxies whose re-check is due at the clock's now, with their ProxyEntry records. A
  // proxy handed out is due again a re-check period after its result (or after the hand-out, when
  // no result comes).
  std::vector<nlohmann::ordered_json> due_for_recheck();

 private:
  struct Slot {
    ProxyIdentity identity;
    nlohmann::ordered_json entry;
    ProxyHealthView view;
    bool notified = false;  // this episode's first failure has been told
    std::chrono::system_clock::time_point next_check{};
  };

  void _failed(Slot& slot, const std::string& error, std::chrono::system_clock::time_point now,
               std::vector<HealthEvent>& events);
  void _worked(Slot& slot, std::chrono::system_clock::time_point now, std::vector<HealthEvent>& events);
  bool _all_down_locked() const;
  void _emit(const std::vector<HealthEvent>& events);
  template <typename Visit>
  void _for_each_slot_of(const ProxyIdentity& proxy, Visit&& visit);

  const WallClock _clock;
  const std::chrono::milliseconds _recheck_period;
  mutable std::mutex _lock;
  HealthSink _sink;
  std::vector<Slot> _slots;
  bool _all_down_told = false;
};

// An observer for the relay of `proxy_entry`: its outcomes go to `health` under that entry's
// identity. An outcome of another proxy (a relay may send a connection elsewhere) is not this
// entry's and is left out. It keeps `health` alive as long as the relay may call it.
PROXY_POOL_EXPORT UpstreamObserver health_observer(std::shared_ptr<ProxyHealth> health,
                                                   const nlohmann::ordered_json& proxy_entry);

}  // namespace tovix::pool
