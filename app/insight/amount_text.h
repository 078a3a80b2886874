#pragma once
// Byte counts, rates and durations as the panels show them.
#include <cstdint>
#include <string>

#include "app/insight/insight_core_export.h"

namespace tovix::insight {

// "512 B", "1.5 KB", "12.0 MB", "3.25 GB" (1024 steps).
INSIGHT_CORE_EXPORT std::string format_bytes(std::uint64_t bytes);
// format_bytes of a rate, with "/s".
INSIGHT_CORE_EXPORT std::string format_rate(double bytes_per_second);
// "0:07", "12:05", "1:02:03"; negative counts as 0.
INSIGHT_CORE_EXPORT std::string format_duration(double seconds);

}  // namespace tovix::insight
