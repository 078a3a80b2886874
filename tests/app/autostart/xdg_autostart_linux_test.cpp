// The desktop entry in the user's autostart folder: where it goes, that a desktop reads back
// exactly our command from its Exec line, and switching it on and off.
#include "app/autostart/xdg_autostart_linux.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace tovix::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The Exec line as a desktop reads it: the value's own escapes first, then the arguments,
// double-quoted ones with `"`, `` ` ``, `$` and `\` escaped inside; "%%" is a plain "%".
std::vector<std::string> desktop_reads_exec(const std::string& entry) {
  std::istringstream lines(entry);
  std::string value;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Exec=", 0) == 0) value = line.substr(5);
  }
  std::string unescaped;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size()) {
      const char next = value[++i];
      unescaped += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
    } else {
      unescaped += value[i];
    }
  }
  std::vector<std::string> argv;
  std::string current;
  bool in_quotes = false, started = false;
  for (size_t i = 0; i < unescaped.size(); ++i) {
    const char c = unescaped[i];
    if (in_quotes && c == '\\' && i + 1 < unescaped.size()) {
      current += unescaped[++i];
    } else if (c == '"') {
      in_quotes = !in_quotes;
      started = true;
    } else if (c == ' ' && !in_quotes) {
      if (started) argv.push_back(current);
      current.clear();
      started = false;
    } else if (c == '%' && i + 1 < unescaped.size() && unescaped[i + 1] == '%') {
      current += unescaped[++i];
      started = true;
    } else {
      current += c;
      started = true;
    }
  }
  if (started) argv.push_back(current);
  return argv;
}

TEST(XdgAutostart, TheExecLineGivesBackTheCommandExactly) {
  const std::vector<app::AutostartCommand> commands{
      {"/usr/bin/tovixproxy", {"--minimized"}},
      {"/opt/云貂 代理/tovixproxy", {"--minimized", "--config", "/home/u/my config.json"}},
      {"/home/o'neil/bin/tovixproxy", {"--config", "/tmp/a\"b$HOME`x`\\c.json"}},
      {"/srv/100%/tovixproxy", {"--config", "/srv/50% off;&|<>*?#()~.json", ""}},
  };
  for (const app::AutostartCommand& command : commands) {
    SCOPED_TRACE(command.program.string());
    std::vector<std::string> expected{command.program.string()};
    expected.insert(expected.end(), command.arguments.begin(), command.arguments.end());
    EXPECT_EQ(desktop_reads_exec(app::autostart_desktop_entry(command)), expected)
        << app::autostart_desktop_entry(command);
  }
  EXPECT_THROW(app::autostart_desktop_entry({"/usr/bin/tovixproxy", {"--config", "/tmp/a\nExec=rm -rf ~"}}),
               std::invalid_argument)
      << "a line break would start a line of its own in the entry";
}

TEST(XdgAutostart, TheFolderFollowsTheBaseDirectoryRules) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> environment;
    std::optional<fs::path> folder;
  };
  const Case cases[] = {
      {"config home set", {{"XDG_CONFIG_HOME", "/x/conf"}, {"HOME", "/home/u"}}, fs::path("/x/conf/autostart")},
      {"config home relative",
       {{"XDG_CONFIG_HOME", "conf"}, {"HOME", "/home/u"}},
       fs::path("/home/u/.config/autostart")},
      {"config home empty", {{"XDG_CONFIG_HOME", ""}, {"HOME", "/home/u"}}, fs::path("/home/u/.config/autostart")},
      {"home only", {{"HOME", "/home/u"}}, fs::path("/home/u/.config/autostart")},
      {"nothing", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto lookup = [&c](const char* name) -> std::optional<std::string> {
      const auto found = c.environment.find(name);
      return found == c.environment.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
    EXPECT_EQ(app::xdg_autostart_folder(lookup), c.folder);
  }
}

TEST(XdgAutostart, SwitchingOnWritesTheEntryAndOffRemovesIt) {
  TempDir home;
  const fs::path folder = home / "config/autostart";  // made on the first switch-on
  app::XdgAutostart autostart({"/usr/bin/tovixproxy", {"--minimized"}}, folder);
  EXPECT_FALSE(autostart.is_enabled());
  EXPECT_EQ(autostart.disable(), app::AutostartResult(true, "已取消开机自动启动")) << "nothing to remove";

  EXPECT_EQ(autostart.enable(), app::AutostartResult(true, "已设置开机自动启动"));
  EXPECT_TRUE(autostart.is_enabled());
  const std::string entry = read_text(folder / "tovixproxy.desktop");
  EXPECT_THAT(entry, StartsWith("[Desktop Entry]\nType=Application\n"));
  EXPECT_THAT(entry, HasSubstr("\nExec=/usr/bin/tovixproxy --minimized\n"));
  EXPECT_EQ(autostart.enable(), app::AutostartResult(true, "已设置开机自动启动")) << "again: replaced, not doubled";

  EXPECT_EQ(autostart.disable(), app::AutostartResult(true, "已取消开机自动启动"));
  EXPECT_FALSE(autostart.is_enabled());
  EXPECT_FALSE(fs::exists(folder / "tovixproxy.desktop"));
}

// Desktops switch an entry off by marking it; the window must not claim it is on.
TEST(XdgAutostart, AnEntryTheDesktopSwitchedOffCountsAsOff) {
  TempDir folder;
  app::XdgAutostart autostart({"/usr/bin/tovixproxy", {}}, folder.path());
  ASSERT_TRUE(autostart.enable().first);
  const std::string entry = read_text(folder / "tovixproxy.desktop");
  write_text(folder / "tovixproxy.desktop", entry + "Hidden=true\n");
  EXPECT_FALSE(autostart.is_enabled());
  std::string gnome_off = entry;
  gnome_off.replace(gnome_off.find("X-GNOME-Autostart-enabled=true"), 30, "X-GNOME-Autostart-enabled=false");
  write_text(folder / "tovixproxy.desktop", gnome_off);
  EXPECT_FALSE(autostart.is_enabled());
  write_text(folder / "tovixproxy.desktop", entry + "Hidden=false\n");
  EXPECT_TRUE(autostart.is_enabled());
}

TEST(XdgAutostart, FailuresSayWhy) {
  TempDir home;
  write_text(home / "autostart", "a file where the folder should be");
  app::XdgAutostart blocked({"/usr/bin/tovixproxy", {}}, home / "autostart");
  const auto [ok, message] = blocked.enable();
  EXPECT_FALSE(ok);
  EXPECT_THAT(message, StartsWith("设置开机自动启动失败: "));
  EXPECT_FALSE(blocked.is_enabled());

  app::XdgAutostart nowhere({"/usr/bin/tovixproxy", {}}, std::nullopt);
  EXPECT_FALSE(nowhere.enable().first);
  EXPECT_FALSE(nowhere.is_enabled());
  EXPECT_TRUE(nowhere.disable().first);
}

}  // namespace
}  // namespace tovix::testing
