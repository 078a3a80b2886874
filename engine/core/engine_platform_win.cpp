// Where the engine finds WinDivert: in a packaged build the driver files come in the "driver"
// folder and are copied beside the executable, where the library loader looks first.
#include <windows.h>

#include <filesystem>
#include <system_error>

#include "common/paths.h"
#include "engine/core/engine_platform.h"
#include "engine/core/tunnel_engine.h"

namespace tovix {

std::filesystem::path _ensure_windivert_dll() {
#if TOVIX_PACKAGED_BUILD
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::path exe_dir = executable_dir();
  const fs::path driver_dir = exe_dir / "driver";
  const fs::path dst = exe_dir / "WinDivert64.dll";
  for (const char* name : {"WinDivert64.dll", "WinDivert64.sys"}) {
    const fs::path from = driver_dir / name;
    const fs::path to = exe_dir / name;
    if (fs::exists(from, error) && !fs::exists(to, error)) {
      if (fs::copy_file(from, to, error)) fs::last_write_time(to, fs::last_write_time(from, error), error);
    }
  }
  if (fs::exists(dst, error)) return dst;
#endif
  return {};
}

DiverterFactory default_diverter_factory() {
  return [] {
    // Prepared once per process, as when the engine module is loaded.
    static const std::filesystem::path library = _ensure_windivert_dll();
    return make_system_diverter(library);
  };
}

std::uint32_t current_process_id() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

}  // namespace tovix
