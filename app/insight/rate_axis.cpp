#include "app/insight/rate_axis.h"

#include <array>
#include <charconv>
#include <cmath>

namespace tovix::insight {
namespace {

constexpr std::array<const char*, 4> UNIT_NAMES = {"KB/s", "MB/s", "GB/s", "TB/s"};
// Steps per grid line that stay round when multiplied by the line number; the largest gives a
// top of 1000 units, the next step up is 0.25 of the next unit (a top of 1024).
constexpr std::array<double, 13> STEPS = {0.25, 0.5, 1, 2, 2.5, 5, 10, 20, 25, 50, 100, 200, 250};

}  // namespace

std::string RateAxis::label(int line) const {
  if (line == 0) return "0";
  // The shortest form, whatever the C locale: "0.75", "7.5", "250".
  char number[32];
  const auto end = std::to_chars(number, number + sizeof number, step_in_units * line).ptr;
  return std::string(number, end) + " " + unit_name;
}

RateAxis rate_axis(double highest_rate) {
  RateAxis axis;
  if (!(highest_rate > 0.0) || !std::isfinite(highest_rate)) return axis;
  for (std::size_t unit = 0; unit < UNIT_NAMES.size(); ++unit) {
    axis.unit = std::pow(1024.0, static_cast<double>(unit + 1));
    axis.unit_name = UNIT_NAMES[unit];
    for (double step : STEPS) {
      axis.step_in_units = step;
      if (axis.top() >= highest_rate) return axis;
    }
  }
  return axis;  // beyond any network: the largest axis, the line clipped at its top
}

}  // namespace tovix::insight
