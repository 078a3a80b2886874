#pragma once
// The rate axis of the traffic graph. Rates are shown in 1024-based units, so the axis is
// divided in steps that are round in the unit the labels use: "250 KB/s, 500 KB/s, ..." rather
// than the decimal tops that read "244.1 KB/s, 488.3 KB/s, ..." once divided by 1024.
#include <string>

#include "app/insight/insight_core_export.h"

namespace tovix::insight {

struct INSIGHT_CORE_EXPORT RateAxis {
  static constexpr int LINES = 4;  // grid lines above the zero line

  double unit = 1024.0;  // bytes per second of one unit of the labels (1024^k)
  const char* unit_name = "KB/s";
  double step_in_units = 0.25;  // distance between grid lines, in units

  double step() const { return step_in_units * unit; }
  double top() const { return step() * LINES; }
  // The label of grid line `line` (0 is the zero line): "0", "2.5 KB/s", "1 MB/s".
  std::string label(int line) const;
};

// The smallest round axis that reaches `highest_rate` (bytes per second); at least 1 KB/s.
INSIGHT_CORE_EXPORT RateAxis rate_axis(double highest_rate);

}  // namespace tovix::insight
