// On Linux the diverter is part of the kernel: there is no library file to prepare.
#include <unistd.h>

#include "engine/core/engine_platform.h"
#include "engine/core/tunnel_engine.h"

namespace tovix {

std::filesystem::path _ensure_windivert_dll() { return {}; }

DiverterFactory default_diverter_factory() {
  return [] { return make_system_diverter(); };
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(getpid()); }

}  // namespace tovix
