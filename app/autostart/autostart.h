#pragma once
// Starting the program when the user logs on. The record lives with the system (a scheduled task
// on Windows, a desktop entry in the autostart folder on Linux desktops), not in config.json, so
// what the window shows is what the system will do.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tovix::app {

// The command-line flag of a start at log-on: the window stays hidden in the tray.
inline constexpr const char* MINIMIZED_OPTION = "--minimized";

// What the system starts: the program and its arguments.
struct AutostartCommand {
  std::filesystem::path program;
  std::vector<std::string> arguments;
};

// This program started minimized; with `config` when it runs on a settings file of its own.
AutostartCommand autostart_command(const std::filesystem::path& program,
                                   const std::optional<std::filesystem::path>& config);

// (success, message for the user)
using AutostartResult = std::pair<bool, std::string>;

// Each call may block for a few seconds (a system tool runs): keep them off the GUI thread.
class Autostart {
 public:
  virtual ~Autostart() = default;
  // False also when it cannot be told.
  virtual bool is_enabled() = 0;
  virtual AutostartResult enable() = 0;
  // Nothing to remove counts as success.
  virtual AutostartResult disable() = 0;
};

// The platform's own: a scheduled task on Windows, an XDG autostart entry on Linux.
std::unique_ptr<Autostart> make_system_autostart(AutostartCommand command);

// Texts shared by the platforms.
inline constexpr const char* AUTOSTART_ENABLED = "已设置开机自动启动";
inline constexpr const char* AUTOSTART_DISABLED = "已取消开机自动启动";
inline constexpr const char* AUTOSTART_ENABLE_FAILED = "设置开机自动启动失败: ";
inline constexpr const char* AUTOSTART_DISABLE_FAILED = "取消开机自动启动失败: ";

}  // namespace tovix::app
