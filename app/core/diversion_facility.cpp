#include "app/core/diversion_facility.h"

#include <algorithm>

namespace tovix::app {

bool DiversionFacility::ready() const {
  return std::all_of(checks.begin(), checks.end(), [](const FacilityCheck& check) { return check.ok; });
}

}  // namespace tovix::app
