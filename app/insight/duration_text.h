#pragma once
// Durations as the connections table shows them.
#include <string>

#include "app/insight/insight_core_export.h"

namespace tovix::insight {

// "0:07", "12:05", "1:02:03"; negative counts as 0.
INSIGHT_CORE_EXPORT std::string format_duration(double seconds);

}  // namespace tovix::insight
