#include "common/descriptor_limit.h"

namespace tovix {

// Windows counts sockets as kernel handles, bounded only by memory; there is nothing to raise.
std::uint64_t raise_descriptor_limit() noexcept { return 0; }

}  // namespace tovix
