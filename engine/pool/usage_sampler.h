#pragma once
// What feeds the usage store: an observer per relay that counts the connections tunnelled
// through its proxy, and a sampler of the relays' byte totals.
//
// The relays' running byte totals become the store's additions like this: each relay counts
// from zero for its own life; the sampler remembers what it last saw of each relay and adds
// only the growth, so sampling often costs nothing and a relay replaced by a hot update (a new
// relay id, counting from zero) neither loses nor doubles bytes.
//
// Threads: call sample() from one thread at a time (the engine's housekeeping).
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "engine/pool/proxy_identity.h"
#include "engine/pool/proxy_pool_export.h"
#include "engine/pool/usage_store.h"
#include "engine/relay/relay_hub.h"

namespace tovix::pool {

struct RelayTotals {
  std::uintptr_t relay = 0;  // any value that tells one relay object from another while both live
  ProxyIdentity proxy;
  std::uint64_t bytes_up = 0;
  std::uint64_t bytes_down = 0;
};

class PROXY_POOL_EXPORT UsageSampler {
 public:
  explicit UsageSampler(std::shared_ptr<UsageStore> store);

  // The totals of every relay that still counts; relays missing from `relays` are forgotten.
  void sample(const std::vector<RelayTotals>& relays);
  // A new engine run: the next sample counts every relay from zero.
  void reset();

 private:
  std::shared_ptr<UsageStore> _store;
  std::map<std::uintptr_t, std::pair<std::uint64_t, std::uint64_t>> _seen;
};

// Counts each connection whose tunnel through the relay's proxy stood. It keeps `store` alive as
// long as the relay may call it.
PROXY_POOL_EXPORT UpstreamObserver usage_observer(std::shared_ptr<UsageStore> store,
                                                  const nlohmann::ordered_json& proxy_entry);

}  // namespace tovix::pool
