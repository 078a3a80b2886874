#pragma once
// What the window shows of the proxy pool: each proxy's health and usage, asked by identity.
// The engine implements PoolReadings over its tracker and usage store; panels take the
// interface, tests a fake.
#include <memory>
#include <optional>
#include <string>

#include "engine/pool/proxy_health.h"
#include "engine/pool/proxy_pool_export.h"
#include "engine/pool/usage_store.h"

namespace tovix::pool {

class PoolReadings {
 public:
  virtual ~PoolReadings() = default;
  // Nothing when the pool does not know the proxy (the engine is not using it).
  virtual std::optional<ProxyHealthView> health_of(const ProxyIdentity& proxy) const = 0;
  virtual ProxyUsage usage_of(const ProxyIdentity& proxy) const = 0;
};

// The readings of one tracker and one usage store (either may be absent).
class PROXY_POOL_EXPORT TrackedPoolReadings : public PoolReadings {
 public:
  TrackedPoolReadings(std::shared_ptr<const ProxyHealth> health, std::shared_ptr<const UsageStore> usage);
  std::optional<ProxyHealthView> health_of(const ProxyIdentity& proxy) const override;
  ProxyUsage usage_of(const ProxyIdentity& proxy) const override;

 private:
  std::shared_ptr<const ProxyHealth> _health;
  std::shared_ptr<const UsageStore> _usage;
};

}  // namespace tovix::pool
