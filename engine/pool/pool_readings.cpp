#include "engine/pool/pool_readings.h"

#include <utility>

namespace tovix::pool {

TrackedPoolReadings::TrackedPoolReadings(std::shared_ptr<const ProxyHealth> health,
                                         std::shared_ptr<const UsageStore> usage)
    : _health(std::move(health)), _usage(std::move(usage)) {}

std::optional<ProxyHealthView> TrackedPoolReadings::health_of(const ProxyIdentity& proxy) const {
  return _health ? _health->view_of(proxy) : std::nullopt;
}

ProxyUsage TrackedPoolReadings::usage_of(const ProxyIdentity& proxy) const {
  return _usage ? _usage->usage_of(proxy) : ProxyUsage{};
}

}  // namespace tovix::pool
