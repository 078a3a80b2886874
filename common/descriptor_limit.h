#pragma once
// The number of descriptors this process may hold open. A relay holds two per connection, and a
// desktop session commonly starts programs with a soft limit of 1024 while allowing far more, so
// the relay raises the soft limit itself instead of relying on what its parent passed on.
#include <cstdint>

#include "common/common_export.h"

namespace tovix {

// Raises the soft limit on open descriptors to the hard limit. Safe to call any number of
// times, from any thread. Returns the soft limit in force afterwards; 0 where the system has no
// such per-process limit (Windows: sockets are kernel handles). Never throws.
COMMON_EXPORT std::uint64_t raise_descriptor_limit() noexcept;

}  // namespace tovix
