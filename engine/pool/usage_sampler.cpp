#include "engine/pool/usage_sampler.h"

#include <utility>

namespace tovix::pool {
namespace {

// Totals that went back belong to another relay at the same id: all of them is new.
std::uint64_t growth(std::uint64_t now, std::uint64_t before) { return now >= before ? now - before : now; }

}  // namespace

UsageSampler::UsageSampler(std::shared_ptr<UsageStore> store) : _store(std::move(store)) {}

void UsageSampler::sample(const std::vector<RelayTotals>& relays) {
  std::map<std::uintptr_t, std::pair<std::uint64_t, std::uint64_t>> seen;
  for (const RelayTotals& relay : relays) {
    const auto before = _seen.find(relay.relay);
    const std::uint64_t up_before = before == _seen.end() ? 0 : before->second.first;
    const std::uint64_t down_before = before == _seen.end() ? 0 : before->second.second;
    _store->add_traffic(relay.proxy, growth(relay.bytes_up, up_before), growth(relay.bytes_down, down_before));
    seen[relay.relay] = {relay.bytes_up, relay.bytes_down};
  }
  _seen = std::move(seen);
}

void UsageSampler::reset() { _seen.clear(); }

UpstreamObserver usage_observer(std::shared_ptr<UsageStore> store, const nlohmann::ordered_json& proxy_entry) {
  return [store = std::move(store), proxy = identity_of(proxy_entry)](const UpstreamOutcome& outcome) {
    // A connection the relay sent through another proxy is not this one's.
    if (outcome.proxy_host != proxy.host || outcome.proxy_port != proxy.port) return;
    if (outcome.succeeded) store->add_connection(proxy);
  };
}

}  // namespace tovix::pool
