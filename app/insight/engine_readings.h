#pragma once
// The engine's snapshot as the panels read it.
#include <vector>

#include "app/insight/connection_ledger.h"
#include "app/insight/insight_core_export.h"
#include "app/insight/rate_history.h"
#include "engine/core/tunnel_engine.h"

namespace tovix::insight {

INSIGHT_CORE_EXPORT std::vector<ConnectionSample> connection_samples(const EngineSnapshot& snapshot);
// Relays of one proxy (a hot update's replacement, a retired relay still draining) add up.
INSIGHT_CORE_EXPORT TrafficReading traffic_reading(const EngineSnapshot& snapshot);

}  // namespace tovix::insight
