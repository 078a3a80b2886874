// The process and installed-application lists offered to the user.
#include <algorithm>
#include <set>

#include "common/logging.h"
#include "common/run_command.h"
#include "engine/process/installed_apps.h"
#include "engine/process/proc_watch.h"

namespace tovix {
namespace {

// Reads both Start menus through the shell's shortcut object; the all-users menu comes first so
// its shortcuts win over the user's of the same name. Single quotes only, so the script passes
// through the command-line quoting untouched.
constexpr const char* kStartMenuScanScript = R"(
$shell = New-Object -ComObject WScript.Shell
$roots = @((Join-Path $env:ProgramData 'Microsoft\Windows\Start Menu\Programs'), (Join-Path $env:APPDATA 'Microsoft\Windows\Start Menu\Programs'))
$seen = [ordered]@{}
foreach ($root in $roots) {
  if (-not (Test-Path -LiteralPath $root)) { continue }
  foreach ($link in (Get-ChildItem -LiteralPath $root -Filter '*.lnk' -Recurse -ErrorAction SilentlyContinue)) {
    try { $target = $shell.CreateShortcut($link.FullName).TargetPath } catch { continue }
    if (-not $target -or -not (Test-Path -LiteralPath $target)) { continue }
    $key = $link.BaseName.ToLower()
    if ($seen.Contains($key)) { continue }
    $seen[$key] = [pscustomobject]@{ Name = $link.BaseName; Exe = $target }
  }
}
[Console]::OutputEncoding = [Text.Encoding]::UTF8
ConvertTo-Json @($seen.Values)
)";

// The sort key of an installed application record; throws for a record that is not an object or
// whose Name is not text.
std::string app_sort_key(const Json& app) { return lower_ascii(app.value("Name", Json("")).get<std::string>()); }

void sort_apps(Json& apps) {
  std::vector<std::pair<std::string, Json>> keyed;
  for (auto& app : apps) keyed.emplace_back(app_sort_key(app), std::move(app));
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  apps = Json::array();
  for (auto& [key, app] : keyed) apps.push_back(std::move(app));
}

}  // namespace

std::vector<std::string> ProcWatch::get_all_process_names() {
  return get_all_process_names(*platform_process_queries());
}

std::vector<std::string> ProcWatch::get_all_process_names(ProcessQueries& queries) {
  std::set<std::string> names;
  try {
    queries.for_each_process(ProcessDetail::name_only, [&](const ProcessEntry& process) {
      if (process.name && !process.name->empty()) names.insert(lower_ascii(*process.name));
    });
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->warn("枚举进程异常: {}", error.what());
  }
  return {names.begin(), names.end()};
}

Json ProcWatch::get_all_processes_info() { return get_all_processes_info(*platform_process_queries()); }

Json ProcWatch::get_all_processes_info(ProcessQueries& queries) {
  std::vector<std::pair<std::string, std::string>> records;
  try {
    queries.for_each_process(ProcessDetail::name_and_path, [&](const ProcessEntry& process) {
      if (process.name && !process.name->empty())
        records.emplace_back(lower_ascii(*process.name), process.exe.value_or(""));
    });
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->warn("枚举进程信息异常: {}", error.what());
  }
  std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  Json result = Json::array();
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i > 0 && records[i].first == records[i - 1].first) continue;
    result.push_back(Json{{"name", records[i].first}, {"exe", records[i].second}});
  }
  return result;
}

Json ProcWatch::_scan_start_menu(const std::string& interpreter, std::chrono::milliseconds timeout) {
  try {
    const auto result = run_command({interpreter, "-NoProfile", "-Command", kStartMenuScanScript}, timeout);
    if (result.exit_code != 0) return Json::array();
    const auto first = result.standard_output.find_first_not_of(" \t\r\n\f\v");
    if (first == std::string::npos) return Json::array();
    const auto last = result.standard_output.find_last_not_of(" \t\r\n\f\v");
    Json apps = Json::parse(result.standard_output.substr(first, last - first + 1));
    if (!apps.is_array()) throw std::runtime_error("shortcut list is not a JSON array");
    sort_apps(apps);
    return apps;
  } catch (const std::exception& error) {
    get_logger(LOGGER_ENGINE)->warn("扫描已安装应用异常: {}", error.what());
    return Json::array();
  }
}

Json ProcWatch::get_installed_apps() {
  Json apps = _scan_start_menu("powershell", INSTALLED_APPS_SCAN_TIMEOUT);
  Json own = platform_installed_apps();
  if (own.empty()) return apps;
  std::set<std::string> seen;
  for (const auto& app : apps) seen.insert(app_sort_key(app));
  for (auto& app : own) {
    if (seen.insert(app_sort_key(app)).second) apps.push_back(std::move(app));
  }
  sort_apps(apps);
  return apps;
}

}  // namespace tovix
