#include <cstdlib>
#include <string_view>

#include "engine/process/installed_apps.h"

namespace tovix {
namespace fs = std::filesystem;
namespace {

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::vector<fs::path> split_paths(std::string_view list) {
  std::vector<fs::path> paths;
  while (!list.empty()) {
    const auto colon = list.find(':');
    if (auto part = list.substr(0, colon); !part.empty()) paths.emplace_back(part);
    if (colon == std::string_view::npos) break;
    list.remove_prefix(colon + 1);
  }
  return paths;
}

// The machine-wide folders first, then the user's, as on Windows the all-users Start menu wins.
std::vector<fs::path> xdg_application_dirs() {
  std::string data_dirs = env("XDG_DATA_DIRS");
  if (data_dirs.empty()) data_dirs = "/usr/local/share:/usr/share";
  std::vector<fs::path> dirs;
  for (const auto& dir : split_paths(data_dirs)) dirs.push_back(dir / "applications");
  std::string data_home = env("XDG_DATA_HOME");
  if (data_home.empty() && !env("HOME").empty()) data_home = env("HOME") + "/.local/share";
  if (!data_home.empty()) dirs.push_back(fs::path(data_home) / "applications");
  return dirs;
}

}  // namespace

nlohmann::ordered_json platform_installed_apps() {
  return desktop_entry_apps(xdg_application_dirs(), split_paths(env("PATH")));
}

}  // namespace tovix
