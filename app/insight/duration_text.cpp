#include "app/insight/duration_text.h"

#include <cmath>
#include <cstdio>

namespace tovix::insight {

std::string format_duration(double seconds) {
  const long long total = std::isfinite(seconds) && seconds > 0.0 ? static_cast<long long>(seconds) : 0;
  const long long hours = total / 3600, minutes = total / 60 % 60, rest = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, rest);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, rest);
  }
  return text;
}

}  // namespace tovix::insight
