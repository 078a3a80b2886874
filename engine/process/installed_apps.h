#pragma once
// The platform's own list of installed applications, besides the Start-menu shortcut scan:
// desktop entries on Linux, nothing more on Windows (the scan is its list).
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/process/proc_watch_export.h"

namespace tovix {

// Records {"Name", "Exe"}, one per lower-cased name, the first found winning.
nlohmann::ordered_json platform_installed_apps();

// Applications described by the .desktop files under `application_dirs` (searched in that order,
// each with its subfolders in name order): `Name` is the entry's Name, `Exe` the program of its
// Exec line, looked up in `search_path` unless it is a path. Entries that are hidden, not
// applications, or whose program does not exist are left out.
PROC_WATCH_EXPORT nlohmann::ordered_json desktop_entry_apps(const std::vector<std::filesystem::path>& application_dirs,
                                                            const std::vector<std::filesystem::path>& search_path);

// The program of an Exec value (quoting and escapes undone, an `env VAR=value` prefix skipped);
// empty when there is none.
PROC_WATCH_EXPORT std::string desktop_exec_program(const std::string& exec_value);

}  // namespace tovix
