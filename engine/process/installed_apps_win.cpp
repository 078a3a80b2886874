#include "engine/process/installed_apps.h"

namespace tovix {

// The Start-menu shortcut scan is the whole list on Windows.
nlohmann::ordered_json platform_installed_apps() { return nlohmann::ordered_json::array(); }

}  // namespace tovix
