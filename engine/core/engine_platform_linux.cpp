// On Linux the diverter is part of the kernel: there is no library file to prepare.
#include "engine/core/tunnel_engine.h"

namespace tovix {

std::filesystem::path _ensure_windivert_dll() { return {}; }

DiverterFactory default_diverter_factory() {
  return [] { return make_system_diverter(); };
}

}  // namespace tovix
