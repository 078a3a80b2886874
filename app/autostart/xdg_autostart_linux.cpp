#include "app/autostart/xdg_autostart_linux.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "common/atomic_file.h"
#include "common/text.h"

namespace tovix::app {
namespace {

namespace fs = std::filesystem;

// Characters that make an Exec argument need quotes.
constexpr std::string_view RESERVED = " \t\n\"'\\><~|&;$*?#()`";

// One argument as an Exec line carries it: quoted when needed, with `"`, `` ` ``, `$` and `\`
// escaped inside the quotes, and `%` doubled so it is no field code.
std::string exec_argument(const std::string& argument) {
  for (unsigned char c : argument) {
    if (c < 0x20 || c == 0x7f) throw std::invalid_argument("启动命令含有控制字符: " + argument);
  }
  std::string quoted;
  const bool needs_quotes = argument.empty() || argument.find_first_of(RESERVED) != std::string::npos;
  if (needs_quotes) quoted += '"';
  for (char c : argument) {
    if (needs_quotes && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted += '\\';
    if (c == '%') quoted += '%';
    quoted += c;
  }
  if (needs_quotes) quoted += '"';
  return quoted;
}

// A desktop entry's string values take backslash escapes of their own, read before the Exec
// line is split into arguments.
std::string string_value(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::optional<std::string> process_environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

// The value of `key` in the entry's lines, if present.
std::optional<std::string> entry_value(const std::string& entry, const std::string& key) {
  std::istringstream lines(entry);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + "=", 0) == 0) return std::string(strip_whitespace(line.substr(key.size() + 1)));
  }
  return std::nullopt;
}

std::string read_file(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

std::optional<fs::path> xdg_autostart_folder(const EnvironmentLookup& environment) {
  if (const auto config_home = environment("XDG_CONFIG_HOME"); config_home && fs::path(*config_home).is_absolute()) {
    return fs::path(*config_home) / "autostart";
  }
  if (const auto home = environment("HOME"); home && fs::path(*home).is_absolute()) {
    return fs::path(*home) / ".config" / "autostart";
  }
  return std::nullopt;
}

std::string autostart_desktop_entry(const AutostartCommand& command) {
  std::string exec = exec_argument(path_text(command.program));
  for (const std::string& argument : command.arguments) exec += " " + exec_argument(argument);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=云貂代理\n"
         "Comment=登录时启动云貂代理，窗口隐藏在系统托盘\n"
         "Exec=" +
         string_value(exec) +
         "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

XdgAutostart::XdgAutostart(AutostartCommand command, std::optional<fs::path> folder)
    : _command(std::move(command)), _folder(std::move(folder)) {}

std::optional<fs::path> XdgAutostart::entry_path() const {
  if (!_folder) return std::nullopt;
  return *_folder / AUTOSTART_ENTRY_NAME;
}

bool XdgAutostart::is_enabled() {
  const auto path = entry_path();
  std::error_code error;
  if (!path || !fs::is_regular_file(*path, error)) return false;
  // The desktop's own settings switch an entry off by marking it rather than removing it.
  const std::string entry = read_file(*path);
  return entry_value(entry, "Hidden") != "true" && entry_value(entry, "X-GNOME-Autostart-enabled") != "false";
}

AutostartResult XdgAutostart::enable() {
  const auto path = entry_path();
  if (!path) return {false, std::string(AUTOSTART_ENABLE_FAILED) + "找不到自动启动文件夹（HOME 未设置）"};
  try {
    const std::string entry = autostart_desktop_entry(_command);
    fs::create_directories(*_folder);
    write_file_atomically(*path, entry);
  } catch (const std::exception& e) {
    return {false, std::string(AUTOSTART_ENABLE_FAILED) + e.what()};
  }
  return {true, AUTOSTART_ENABLED};
}

AutostartResult XdgAutostart::disable() {
  const auto path = entry_path();
  std::error_code error;
  if (path) fs::remove(*path, error);
  if (error) return {false, std::string(AUTOSTART_DISABLE_FAILED) + error.message()};
  return {true, AUTOSTART_DISABLED};
}

std::unique_ptr<Autostart> make_system_autostart(AutostartCommand command) {
  return std::make_unique<XdgAutostart>(std::move(command), xdg_autostart_folder(process_environment));
}

}  // namespace tovix::app
