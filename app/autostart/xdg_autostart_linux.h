#pragma once
// Linux desktops start what the user's autostart folder lists: one desktop entry for this
// program, written there to switch the start at log-on on and removed to switch it off.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/autostart/autostart.h"

namespace tovix::app {

inline constexpr const char* AUTOSTART_ENTRY_NAME = "tovixproxy.desktop";

// $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when that is unset or not absolute;
// nothing when neither variable helps. `environment` returns a variable's value, or nothing.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
std::optional<std::filesystem::path> xdg_autostart_folder(const EnvironmentLookup& environment);

// The entry's text; throws std::invalid_argument for a program or argument that an Exec line
// cannot carry (a line break or another control character).
std::string autostart_desktop_entry(const AutostartCommand& command);

class XdgAutostart : public Autostart {
 public:
  // `folder` unset: the desktop's autostart folder could not be found; enabling fails.
  XdgAutostart(AutostartCommand command, std::optional<std::filesystem::path> folder);

  bool is_enabled() override;
  AutostartResult enable() override;
  AutostartResult disable() override;

  std::optional<std::filesystem::path> entry_path() const;

 private:
  AutostartCommand _command;
  std::optional<std::filesystem::path> _folder;
};

}  // namespace tovix::app
