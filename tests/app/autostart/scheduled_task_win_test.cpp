// The log-on task on Windows, through the real command runner against a scripted `schtasks`
// first on PATH: the exact argument vectors, the task definition it is handed, and failures.
#include "app/autostart/scheduled_task_win.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/text.h"
#include "tests/support/scripted_tool.h"

namespace tovix::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Argv = std::vector<std::string>;

const Argv kQuery{"/Query", "/TN", "ToVixProxy"};
const Argv kDelete{"/Delete", "/TN", "ToVixProxy", "/F"};

class ScheduledTaskTest : public ::testing::Test {
 protected:
  ScheduledTaskTest() {
    context.definition_folder = definitions / "temp folder";  // a space, as in many user names
    fs::create_directories(context.definition_folder);
    context.user = "OFFICE\\li.wei";
  }
  app::ScheduledTaskAutostart autostart() {
    return {
        {fs::u8path("C:\\Program Files\\云貂 & Co\\tovixproxy.exe"), {"--minimized", "--config", "D:\\my config.json"}},
        context};
  }

  ScriptedTool schtasks{"schtasks"};
  TempDir definitions;
  app::ScheduledTaskContext context;
};

TEST_F(ScheduledTaskTest, SwitchingOnCreatesTheTaskFromADefinitionAndOffDeletesIt) {
  schtasks.answer("/Create", {"SUCCESS: The scheduled task \"ToVixProxy\" has successfully been created.\n", ""});
  schtasks.answer("/Delete", {"SUCCESS: The scheduled task \"ToVixProxy\" was successfully deleted.\n", ""});
  std::string handed_over;  // the definition file as schtasks found it
  context.run = [&handed_over](const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    if (argv.size() > 5 && argv[4] == "/XML") handed_over = read_text(fs::u8path(argv[5]));
    return run_command(argv, timeout);
  };
  auto task = autostart();
  EXPECT_EQ(task.enable(), app::AutostartResult(true, "已设置开机自动启动"));
  EXPECT_EQ(task.disable(), app::AutostartResult(true, "已取消开机自动启动"));

  const auto calls = schtasks.calls();
  ASSERT_EQ(calls.size(), 2u);
  ASSERT_EQ(calls[0].size(), 6u);
  EXPECT_THAT(Argv(calls[0].begin(), calls[0].begin() + 4), ElementsAre("/Create", "/TN", "ToVixProxy", "/XML"));
  const fs::path definition = fs::u8path(calls[0][4]);
  EXPECT_EQ(definition.parent_path(), context.definition_folder);
  EXPECT_EQ(definition.extension(), ".xml");
  EXPECT_EQ(calls[0][5], "/F");
  EXPECT_FALSE(fs::exists(definition)) << "the definition is removed once schtasks has read it";
  EXPECT_EQ(calls[1], kDelete);
  // UTF-16 with a byte order mark, as Task Scheduler writes definitions.
  ASSERT_GE(handed_over.size(), 2u);
  EXPECT_EQ(handed_over.substr(0, 2), "\xFF\xFE");
  const std::string begins("<\0?\0x\0m\0l\0", 10);
  EXPECT_EQ(handed_over.substr(2, begins.size()), begins);
}

TEST_F(ScheduledTaskTest, TheDefinitionRunsThisProgramAtTheUsersLogOnWithHighestRightsAndNoLimits) {
  const std::string xml = app::scheduled_task_xml(
      {fs::u8path("C:\\Program Files\\云貂 & Co\\tovixproxy.exe"), {"--minimized", "--config", "D:\\my config.json"}},
      "OFFICE\\li.wei");
  for (const char* part : {
           "<LogonTrigger>\n      <Enabled>true</Enabled>\n      <UserId>OFFICE\\li.wei</UserId>\n    </LogonTrigger>",
           "<LogonType>InteractiveToken</LogonType>",
           "<RunLevel>HighestAvailable</RunLevel>",
           "<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>",
           "<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>",
           "<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>",
           "<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
           "<Command>C:\\Program Files\\云貂 &amp; Co\\tovixproxy.exe</Command>",
           "<Arguments>--minimized --config &quot;D:\\my config.json&quot;</Arguments>",
           "<WorkingDirectory>C:\\Program Files\\云貂 &amp; Co</WorkingDirectory>",
       }) {
    EXPECT_THAT(xml, HasSubstr(part));
  }
  EXPECT_THAT(app::scheduled_task_xml({"C:\\tovixproxy.exe", {}}, ""), Not(HasSubstr("<UserId>")))
      << "no user known: any user's log-on";
}

TEST_F(ScheduledTaskTest, IsOnWhenTheTaskExists) {
  schtasks.answer("/Query", 1, {"TaskName  Next Run Time  Status\nToVixProxy  N/A  Ready\n", ""});
  schtasks.answer("/Query", 2, {"", "ERROR: The system cannot find the file specified.\n", 1});
  auto task = autostart();
  EXPECT_TRUE(task.is_enabled());
  EXPECT_FALSE(task.is_enabled());
  EXPECT_THAT(schtasks.calls(), ElementsAre(kQuery, kQuery));
}

TEST_F(ScheduledTaskTest, FailuresSayWhatSchtasksSaid) {
  schtasks.answer("/Create", {"", "ERROR: Access is denied.\n", 1});
  schtasks.answer("/Delete", {"", "ERROR: Access is denied.\n", 1});
  schtasks.answer("/Query", {"ToVixProxy  N/A  Ready\n", ""});
  auto task = autostart();
  EXPECT_EQ(task.enable(), app::AutostartResult(false, "设置开机自动启动失败: ERROR: Access is denied."));
  EXPECT_EQ(task.disable(), app::AutostartResult(false, "取消开机自动启动失败: ERROR: Access is denied."));
  for (const auto& entry : fs::directory_iterator(context.definition_folder))
    ADD_FAILURE() << "left behind: " << entry.path();
}

TEST_F(ScheduledTaskTest, DeletingATaskThatIsNotThereIsSuccess) {
  schtasks.answer("/Delete", {"", "ERROR: The system cannot find the file specified.\n", 1});
  schtasks.answer("/Query", {"", "ERROR: The system cannot find the file specified.\n", 1});
  EXPECT_EQ(autostart().disable(), app::AutostartResult(true, "已取消开机自动启动"));
}

TEST_F(ScheduledTaskTest, ARunnerThatCannotStartSchtasksIsAFailureNotACrash) {
  context.run = [](const std::vector<std::string>&, std::chrono::milliseconds) -> CommandResult {
    throw CommandError("schtasks: not found");
  };
  auto task = autostart();
  EXPECT_FALSE(task.is_enabled());
  EXPECT_EQ(task.enable(), app::AutostartResult(false, "设置开机自动启动失败: schtasks: not found"));
  EXPECT_EQ(task.disable(), app::AutostartResult(false, "取消开机自动启动失败: schtasks: not found"));
}

}  // namespace
}  // namespace tovix::testing
