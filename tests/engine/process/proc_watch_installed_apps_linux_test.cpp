// Installed applications on Linux: the Start-menu scan run through a stand-in `powershell`
// script (the real program path, arguments, exit codes and time-out of the command runner), and
// the desktop entries of the XDG application folders.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/logging.h"
#include "engine/process/installed_apps.h"
#include "engine/process/proc_watch.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::read_text;
using testing::TempDir;
using testing::write_text;
namespace fs = std::filesystem;

void write_executable(const fs::path& file, const std::string& text) {
  fs::create_directories(file.parent_path());
  write_text(file, text);
  chmod(file.c_str(), 0755);
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : _name(name) {
    if (const char* old = std::getenv(name)) _old = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (_old)
      setenv(_name, _old->c_str(), 1);
    else
      unsetenv(_name);
  }

 private:
  const char* _name;
  std::optional<std::string> _old;
};

class StartMenuScanTest : public ::testing::Test {
 protected:
  // A stand-in interpreter that records its arguments and answers with `body`.
  fs::path interpreter(const std::string& body) {
    const fs::path program = dir / "powershell";
    write_executable(program, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n--\\n' \"$a\"; done > '" +
                                  (dir / "args").string() + "'\n" + body + "\n");
    return program;
  }
  TempDir dir;
  LogCapture log{LOGGER_ENGINE};
};

TEST_F(StartMenuScanTest, ParsedRecordsAreSortedByNameIgnoringCase) {
  const auto program = interpreter(R"(printf '%s' '  [{"Name":"Zoom","Exe":"C:\\Zoom\\Zoom.exe"},
    {"Name":"apple","Exe":"C:\\a.exe"},{"Exe":"C:\\noname.exe"},{"Name":"Beta","Exe":"C:\\b.exe"}]  ')");
  const Json apps = ProcWatch::_scan_start_menu(program.string(), 20s);
  EXPECT_EQ(apps, Json::parse(R"([{"Exe":"C:\\noname.exe"},{"Name":"apple","Exe":"C:\\a.exe"},
    {"Name":"Beta","Exe":"C:\\b.exe"},{"Name":"Zoom","Exe":"C:\\Zoom\\Zoom.exe"}])"));
  EXPECT_TRUE(log.entries().empty());

  const std::string args = read_text(dir / "args");
  EXPECT_EQ(args.substr(0, args.find("\n--\n\n")), "-NoProfile\n--\n-Command") << args;
  const std::string script = args.substr(args.find("-Command\n--\n") + 12);
  EXPECT_EQ(script.front(), '\n') << "the script starts with a line break";
  EXPECT_NE(script.find("WScript.Shell"), std::string::npos);
  EXPECT_LT(script.find("$env:ProgramData"), script.find("$env:APPDATA")) << "all users first";
  EXPECT_NE(script.find("[Console]::OutputEncoding = [Text.Encoding]::UTF8"), std::string::npos);
  EXPECT_NE(script.find("ConvertTo-Json @($seen.Values)"), std::string::npos);
}

TEST_F(StartMenuScanTest, FailuresGiveAnEmptyListAndAWarningUnlessTheScanSaidNothing) {
  EXPECT_EQ(ProcWatch::_scan_start_menu(interpreter("echo '[{\"Name\":\"x\"}]'; exit 1").string(), 20s), Json::array());
  EXPECT_EQ(ProcWatch::_scan_start_menu(interpreter("printf ' \\n\\t '").string(), 20s), Json::array());
  EXPECT_TRUE(log.entries().empty()) << "a non-zero exit and an empty answer are silent";

  const std::pair<std::string, std::string> failing[] = {
      {"echo '[{\"Name\":'", "parse error"},
      {"echo '{\"Name\":\"one\"}'", "not a JSON array"},
      {"echo '[{\"Name\":5}]'", "type must be string"},
      {"echo '[\"text\"]'", "cannot use value()"},
  };
  for (const auto& [body, reason] : failing) {
    EXPECT_EQ(ProcWatch::_scan_start_menu(interpreter(body).string(), 20s), Json::array()) << body;
    EXPECT_TRUE(log.contains_fragment(spdlog::level::warn, "扫描已安装应用异常: ")) << body;
    EXPECT_TRUE(log.contains_fragment(spdlog::level::warn, reason)) << body;
  }
}

TEST_F(StartMenuScanTest, MissingInterpreterAndTimeOutAreWarnings) {
  EXPECT_EQ(ProcWatch::_scan_start_menu((dir / "no-powershell").string(), 20s), Json::array());
  EXPECT_EQ(log.entries().size(), 1u);
  EXPECT_TRUE(log.contains_fragment(spdlog::level::warn, "扫描已安装应用异常: "));

  EXPECT_EQ(ProcWatch::_scan_start_menu(interpreter("exec sleep 60").string(), 300ms), Json::array());
  EXPECT_EQ(log.entries().size(), 2u);
}

class DesktopEntryTest : public ::testing::Test {
 protected:
  void entry(const fs::path& file, const std::string& body) { write_text(file, "[Desktop Entry]\n" + body); }
  TempDir dir;
  fs::path system_apps = dir / "share/applications";
  fs::path user_apps = dir / "home/applications";
  fs::path bin = dir / "bin";
};

TEST_F(DesktopEntryTest, ExecProgramIsTheFirstWordWithQuotesAndEnvUndone) {
  EXPECT_EQ(desktop_exec_program("firefox %u"), "firefox");
  EXPECT_EQ(desktop_exec_program(R"("/opt/My App/app" --flag %F)"), "/opt/My App/app");
  EXPECT_EQ(desktop_exec_program(R"("/opt/q\"uote/app")"), "/opt/q\"uote/app");
  EXPECT_EQ(desktop_exec_program("env LANG=C GDK_BACKEND=x11 /usr/bin/editor %f"), "/usr/bin/editor");
  EXPECT_EQ(desktop_exec_program("   "), "");
}

TEST_F(DesktopEntryTest, ApplicationsWithAnExistingProgramFirstFolderWinning) {
  write_executable(bin / "editor", "#!/bin/sh\n");
  write_executable(bin / "viewer", "#!/bin/sh\n");
  write_text(bin / "not-executable", "");
  write_executable(dir / "opt/My App/app", "#!/bin/sh\n");
  fs::create_directories(system_apps / "kde");
  fs::create_directories(user_apps);
  entry(system_apps / "editor.desktop", "Type=Application\nName=Editor\nExec=editor %F\n");
  entry(system_apps / "kde/myapp.desktop",
        "Type=Application\nName=My App\nExec=\"" + (dir / "opt/My App/app").string() + "\" %u\n");
  entry(system_apps / "gone.desktop", "Type=Application\nName=Gone\nExec=/nowhere/gone\n");
  entry(system_apps / "plain.desktop", "Type=Application\nName=Plain\nExec=not-executable\n");
  entry(system_apps / "hidden.desktop", "Type=Application\nName=Hidden\nExec=editor\nNoDisplay=true\n");
  entry(system_apps / "deleted.desktop", "Type=Application\nName=Deleted\nExec=editor\nHidden=true\n");
  entry(system_apps / "link.desktop", "Type=Link\nName=Link\nURL=https://example.com\n");
  write_text(system_apps / "other.desktop",
             "[Desktop Action new]\nName=Action\nExec=viewer\n[Desktop Entry]\nName=Viewer\nName[de]=Betrachter\n"
             "Type=Application\nExec=viewer\n");
  write_text(system_apps / "notes.txt", "[Desktop Entry]\nType=Application\nName=Notes\nExec=editor\n");
  entry(user_apps / "editor.desktop", "Type=Application\nName=EDITOR\nExec=viewer\n");
  entry(user_apps / "mine.desktop", "Type=Application\nName=Mine\nExec=viewer\n");

  const Json apps = desktop_entry_apps({system_apps, dir / "missing", user_apps}, {dir / "nobin", bin});
  const Json expected = {
      {{"Name", "Editor"}, {"Exe", (bin / "editor").string()}},
      {{"Name", "My App"}, {"Exe", (dir / "opt/My App/app").string()}},
      {{"Name", "Viewer"}, {"Exe", (bin / "viewer").string()}},
      {{"Name", "Mine"}, {"Exe", (bin / "viewer").string()}},
  };
  EXPECT_EQ(apps, expected);
}

TEST_F(DesktopEntryTest, InstalledAppsJoinTheScanWithTheDesktopEntries) {
  LogCapture log{LOGGER_ENGINE};
  write_executable(bin / "editor", "#!/bin/sh\n");
  fs::create_directories(system_apps);
  fs::create_directories(user_apps);
  entry(system_apps / "editor.desktop", "Type=Application\nName=editor\nExec=editor\n");
  entry(user_apps / "Browser.desktop", "Type=Application\nName=Browser\nExec=editor\n");
  entry(user_apps / "again.desktop", "Type=Application\nName=Editor\nExec=editor\n");

  ScopedEnv path("PATH", bin.string());  // no powershell on it
  ScopedEnv data_dirs("XDG_DATA_DIRS", (dir / "share").string());
  ScopedEnv data_home("XDG_DATA_HOME", (dir / "home").string());
  const Json expected = {
      {{"Name", "Browser"}, {"Exe", (bin / "editor").string()}},
      {{"Name", "editor"}, {"Exe", (bin / "editor").string()}},
  };
  EXPECT_EQ(ProcWatch::get_installed_apps(), expected);
  EXPECT_TRUE(log.contains_fragment(spdlog::level::warn, "扫描已安装应用异常: "));

  write_executable(bin / "powershell", R"(#!/bin/sh
printf '%s' '[{"Name":"EDITOR","Exe":"C:\\ed.exe"},{"Name":"Alpha","Exe":"C:\\a.exe"}]')");
  const Json joined = {
      {{"Name", "Alpha"}, {"Exe", "C:\\a.exe"}},
      {{"Name", "Browser"}, {"Exe", (bin / "editor").string()}},
      {{"Name", "EDITOR"}, {"Exe", "C:\\ed.exe"}},
  };
  EXPECT_EQ(ProcWatch::get_installed_apps(), joined) << "the shortcut scan wins a shared name";
}

}  // namespace
}  // namespace tovix
