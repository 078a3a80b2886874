// Installed applications the way Linux desktops list them: the .desktop entries under the XDG
// application folders. Plain file reading, so it also builds (unused) elsewhere.
#include <algorithm>
#include <fstream>
#include <optional>
#include <set>
#include <system_error>

#include "common/text.h"
#include "engine/process/installed_apps.h"
#include "engine/process/proc_watch.h"

namespace tovix {
namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// The general escapes of desktop-entry string values.
std::string unescape_value(const std::string& value) {
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    switch (const char next = value[++i]) {
      case 's':
        out += ' ';
        break;
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case '\\':
        out += '\\';
        break;
      default:
        out += '\\';
        out += next;
    }
  }
  return out;
}

std::vector<std::string> split_exec(const std::string& exec) {
  std::vector<std::string> arguments;
  std::string current;
  bool in_argument = false;
  bool quoted = false;
  for (std::size_t i = 0; i < exec.size(); ++i) {
    const char c = exec[i];
    if (quoted) {
      if (c == '"') {
        quoted = false;
      } else if (c == '\\' && i + 1 < exec.size()) {
        current += exec[++i];
      } else {
        current += c;
      }
    } else if (c == '"') {
      quoted = in_argument = true;
    } else if (c == ' ' || c == '\t') {
      if (in_argument) arguments.push_back(std::move(current));
      current.clear();
      in_argument = false;
    } else {
      current += c;
      in_argument = true;
    }
  }
  if (in_argument) arguments.push_back(std::move(current));
  return arguments;
}

bool is_executable_file(const fs::path& file) {
  std::error_code error;
  const auto status = fs::status(file, error);
  if (error || !fs::is_regular_file(status)) return false;
  constexpr auto any_exec = fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
  return (status.permissions() & any_exec) != fs::perms::none;
}

std::optional<fs::path> resolve_program(const std::string& program, const std::vector<fs::path>& search_path) {
  if (program.empty()) return std::nullopt;
  if (program.find('/') != std::string::npos) {
    std::error_code error;
    if (fs::path(program).is_absolute() && fs::exists(program, error)) return fs::path(program);
    return std::nullopt;
  }
  for (const auto& dir : search_path) {
    if (dir.empty()) continue;
    if (fs::path candidate = dir / program; is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

struct DesktopEntry {
  std::string type, name, exec;
  bool hidden = false;
};

std::optional<DesktopEntry> read_desktop_entry(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  DesktopEntry entry;
  bool in_main_group = false;
  std::string line;
  while (std::getline(in, line)) {
    line = std::string(strip_whitespace(line));
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      in_main_group = line == "[Desktop Entry]";
      continue;
    }
    if (!in_main_group) continue;
    const auto equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key(strip_whitespace(std::string_view(line).substr(0, equals)));
    const std::string value = unescape_value(std::string(strip_whitespace(std::string_view(line).substr(equals + 1))));
    if (key == "Type")
      entry.type = value;
    else if (key == "Name")
      entry.name = value;
    else if (key == "Exec")
      entry.exec = value;
    else if ((key == "Hidden" || key == "NoDisplay") && value == "true")
      entry.hidden = true;
  }
  return entry;
}

std::vector<fs::path> desktop_files_under(const fs::path& dir) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, error), end;
       !error && it != end; it.increment(error)) {
    if (it->path().extension() == ".desktop") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

std::string desktop_exec_program(const std::string& exec_value) {
  const auto arguments = split_exec(exec_value);
  std::size_t first = 0;
  if (first < arguments.size() && arguments[first] == "env") {
    ++first;
    while (first < arguments.size() && arguments[first].find('=') != std::string::npos) ++first;
  }
  return first < arguments.size() ? arguments[first] : std::string();
}

Json desktop_entry_apps(const std::vector<fs::path>& application_dirs, const std::vector<fs::path>& search_path) {
  Json apps = Json::array();
  std::set<std::string> seen;
  for (const auto& dir : application_dirs) {
    for (const auto& file : desktop_files_under(dir)) {
      const auto entry = read_desktop_entry(file);
      if (!entry || entry->hidden || entry->type != "Application" || entry->name.empty()) continue;
      const auto program = resolve_program(desktop_exec_program(entry->exec), search_path);
      if (!program) continue;
      if (!seen.insert(lower_ascii(entry->name)).second) continue;
      apps.push_back(Json{{"Name", entry->name}, {"Exe", program->string()}});
    }
  }
  return apps;
}

}  // namespace tovix
