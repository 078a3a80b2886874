#pragma once
// What the engine asks of the platform beyond the diverter: its own process id.
#include <cstdint>

namespace tovix {

std::uint32_t current_process_id();

}  // namespace tovix
