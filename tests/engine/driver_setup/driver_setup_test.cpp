#include "engine/driver_setup/driver_setup.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>

#include "common/logging.h"
#include "common/paths.h"
#include "tests/support/log_capture.h"
#include "tests/support/scripted_tool.h"
#include "tests/support/temp_dir.h"

namespace tovix {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testing::LogCapture;
using ScAnswer = testing::ToolAnswer;
using ::testing::StartsWith;
using Argv = std::vector<std::string>;

static_assert(sizeof(void*) == 8, "these tests expect the 64-bit driver files");

// What `sc query WinDivert` prints, in the shapes the code has to tell apart.
const ScAnswer kRunning{
    "SERVICE_NAME: WinDivert \n        TYPE               : 1  KERNEL_DRIVER  \n"
    "        STATE              : 4  RUNNING \n",
    ""};
const ScAnswer kStopped{
    "SERVICE_NAME: WinDivert \n        TYPE               : 1  KERNEL_DRIVER  \n"
    "        STATE              : 1  STOPPED \n        WIN32_EXIT_CODE    : 0  (0x0)\n",
    ""};
const ScAnswer kNoService{
    "[SC] EnumQueryServicesStatus:OpenService FAILED 1060:\n\n"
    "The specified service does not exist as an installed service.\n",
    "", 1060};
const ScAnswer kOk{"[SC] ok\n", ""};

const Argv kQuery{"query", "WinDivert"};
const Argv kStop{"stop", "WinDivert"};
const Argv kStart{"start", "WinDivert"};
const Argv kDelete{"delete", "WinDivert"};

class DriverSetupTest : public ::testing::Test {
 protected:
  DriverSetupTest() {
    context.admin_check = [] { return true; };
    context.driver_dir = files / "driver files";  // a space, as under "Program Files"
    context.packaged_exe_dir.reset();
    fs::create_directories(context.driver_dir);
  }

  void put_driver_files() {
    testing::write_text(sys_path(), "driver image");
    testing::write_text(dll_path(), "user-mode library");
  }
  fs::path sys_path() const { return context.driver_dir / "WinDivert64.sys"; }
  fs::path dll_path() const { return context.driver_dir / "WinDivert64.dll"; }
  Argv create_call() const {
    return {"create",       "WinDivert",
            "type=",        "kernel",
            "start=",       "demand",
            "binPath=",     sys_path().string(),
            "DisplayName=", "WinDivert Packet Driver"};
  }

  testing::ScriptedTool sc{"sc"};
  testing::TempDir files;
  DriverSetupContext context;
  LogCapture log{LOGGER_ENGINE};
};

TEST(DriverSetupLayout, BuildTreeLooksForTheDriverBesideTheLibraryFolder) {
  // The library and this test are both built into bin/; the driver folder is bin/../driver.
  EXPECT_EQ(DRIVER_DIR.lexically_normal(), (executable_dir().parent_path() / "driver").lexically_normal());
  EXPECT_EQ(get_sys_path(), DRIVER_DIR / "WinDivert64.sys");
  EXPECT_EQ(check_driver_files(), std::make_pair(fs::exists(SYS_X64), fs::exists(DLL_X64)));
}

TEST_F(DriverSetupTest, WithoutAdministratorRightsNothingIsRun) {
  put_driver_files();
  context.admin_check = [] { return false; };
  EXPECT_EQ(install_driver(context), DriverResult(false, "驱动安装需要管理员权限，请以管理员身份运行本程序"));
  EXPECT_EQ(uninstall_driver(context), DriverResult(false, "需要管理员权限"));

  context.admin_check = []() -> bool { throw std::runtime_error("token unreadable"); };
  EXPECT_FALSE(install_driver(context).first);
  EXPECT_TRUE(sc.calls().empty());
}

TEST_F(DriverSetupTest, MissingFilesAreNamedWithTheirPaths) {
  EXPECT_EQ(check_driver_files(context), std::make_pair(false, false));
  EXPECT_EQ(install_driver(context), DriverResult(false, "驱动文件不存在: " + sys_path().string() +
                                                             "\n请将 WinDivert 驱动文件放入 D:\\proxy\\driver\\"));

  testing::write_text(sys_path(), "driver image");
  EXPECT_EQ(check_driver_files(context), std::make_pair(true, false));
  EXPECT_EQ(install_driver(context), DriverResult(false, "DLL 文件不存在: " + dll_path().string()));

  testing::write_text(dll_path(), "user-mode library");
  EXPECT_EQ(check_driver_files(context), std::make_pair(true, true));
  EXPECT_EQ(get_sys_path(context.driver_dir), sys_path());
  EXPECT_TRUE(sc.calls().empty());
}

TEST_F(DriverSetupTest, ExistingServiceThatStartsIsRepairedInPlaceWithTheSpacedPathQuoted) {
  put_driver_files();
  sc.answer("query", 1, kStopped);
  sc.answer("query", kRunning);
  sc.answer("config", kOk);
  sc.answer("stop", {"", "[SC] ControlService FAILED 1062:\n", 1062});
  sc.answer("start", kOk);

  EXPECT_EQ(install_driver(context), DriverResult(true, "驱动已安装并启动成功"));
  EXPECT_THAT(sc.calls(), ElementsAre(kQuery, Argv{"config", "WinDivert", "binPath=", '"' + sys_path().string() + '"'},
                                      kStop, kStart, kQuery));
}

TEST_F(DriverSetupTest, PackagedBuildCopiesTheFilesBesideTheProgramFirst) {
  put_driver_files();
  const auto old_time = fs::last_write_time(sys_path()) - 240h;
  fs::last_write_time(sys_path(), old_time);
  const auto exe_dir = files / "app";
  fs::create_directory(exe_dir);
  testing::write_text(exe_dir / "WinDivert64.sys", "previous driver");
  context.packaged_exe_dir = exe_dir;
  sc.answer("query", 1, kStopped);
  sc.answer("query", kRunning);
  for (const char* verb : {"stop", "config", "start"}) sc.answer(verb, kOk);

  EXPECT_EQ(install_driver(context), DriverResult(true, "驱动已安装并启动成功"));
  EXPECT_THAT(sc.calls(), ElementsAre(kStop, kQuery,
                                      Argv{"config", "WinDivert", "binPath=", (exe_dir / "WinDivert64.sys").string()},
                                      kStop, kStart, kQuery));
  EXPECT_EQ(testing::read_text(exe_dir / "WinDivert64.sys"), "driver image");
  EXPECT_EQ(testing::read_text(exe_dir / "WinDivert64.dll"), "user-mode library");
  EXPECT_EQ(fs::last_write_time(exe_dir / "WinDivert64.sys"), old_time);
}

TEST_F(DriverSetupTest, PackagedCopyFailureIsReported) {
  put_driver_files();
  context.packaged_exe_dir = files / "no such folder";
  sc.answer("stop", kOk);

  const auto [ok, message] = install_driver(context);
  EXPECT_FALSE(ok);
  EXPECT_THAT(message, StartsWith("复制驱动文件到程序目录失败: "));
  EXPECT_THAT(sc.calls(), ElementsAre(kStop));
}

TEST_F(DriverSetupTest, ServiceThatWontStartIsDeletedAndCreatedAfresh) {
  put_driver_files();
  sc.answer("query", 1, kStopped);
  sc.answer("query", 2, kStopped);
  sc.answer("query", kRunning);
  sc.answer("start", 1, {"", "  [SC] StartService FAILED 1275: This driver has been blocked from loading.  \n", 1275});
  for (const char* verb : {"config", "stop", "delete", "create", "start"}) sc.answer(verb, kOk);

  EXPECT_EQ(install_driver(context), DriverResult(true, "驱动安装成功，已启动"));
  EXPECT_THAT(sc.calls(),
              ElementsAre(kQuery, ::testing::_, kStop, kStart, kQuery, kDelete, create_call(), kStart, kQuery));
  EXPECT_TRUE(log.contains(spdlog::level::warn,
                           "驱动启动失败: [SC] StartService FAILED 1275: This driver has been blocked from loading."));
  EXPECT_TRUE(log.contains(spdlog::level::info, "WinDivert 驱动安装并启动成功"));
}

TEST_F(DriverSetupTest, FailedDeleteEndsTheRepairUnlessTheServiceIsAlreadyGone) {
  put_driver_files();
  sc.answer("query", kStopped);
  for (const char* verb : {"config", "stop"}) sc.answer(verb, kOk);
  sc.answer("start", {"", "", 1});  // says nothing at all
  sc.answer("delete", {"", "[SC] DeleteService FAILED 5: Access is denied.", 5});

  EXPECT_EQ(install_driver(context), DriverResult(false, "驱动启动失败:\n未知错误"));
  EXPECT_TRUE(log.contains(spdlog::level::warn, "驱动启动失败: 未知错误"));
  EXPECT_EQ(sc.calls().back(), kDelete);

  // The same code on the output stream only does not count as "already gone".
  sc.answer("delete", {"[SC] OpenService FAILED 1060:", "", 1060});
  EXPECT_EQ(install_driver(context), DriverResult(false, "驱动启动失败:\n未知错误"));

  sc.answer("delete", {"", "[SC] OpenService FAILED 1060:", 1060});
  sc.answer("create", {"", "[SC] CreateService FAILED 5: Access is denied.", 5});
  EXPECT_EQ(install_driver(context),
            DriverResult(false, "创建驱动服务失败:\n[SC] CreateService FAILED 5: Access is denied."));
  EXPECT_EQ(sc.calls().back(), create_call());
}

TEST_F(DriverSetupTest, FirstCreateFailureIsFollowedByDeleteAndOneRetry) {
  put_driver_files();
  sc.answer("query", 1, kNoService);
  sc.answer("query", kRunning);
  sc.answer("create", 1,
            {"", "[SC] CreateService FAILED 1072: The specified service has been marked for deletion.", 1072});
  for (const char* verb : {"create", "delete", "start"}) sc.answer(verb, kOk);

  EXPECT_EQ(install_driver(context), DriverResult(true, "驱动安装成功，已启动"));
  EXPECT_THAT(sc.calls(), ElementsAre(kQuery, create_call(), kDelete, create_call(), kStart, kQuery));
}

TEST_F(DriverSetupTest, CreationFailuresReportWhatScSaid) {
  put_driver_files();
  sc.answer("query", kNoService);
  sc.answer("delete", kOk);
  sc.answer("create", {"[SC] CreateService FAILED 1073: The specified service already exists.", "", 1073});
  EXPECT_EQ(
      install_driver(context),
      DriverResult(false, "创建驱动服务失败:\n[SC] CreateService FAILED 1073: The specified service already exists."));
  EXPECT_EQ(sc.calls().size(), 4u) << "one retry, no start";

  sc.answer("create", kOk);
  sc.answer("start", {"[SC] StartService FAILED 577: Windows cannot verify the digital signature.", "", 577});
  EXPECT_EQ(install_driver(context),
            DriverResult(false,
                         "驱动安装完成但启动失败:\n[SC] StartService FAILED 577: Windows cannot verify the "
                         "digital signature."));
}

TEST_F(DriverSetupTest, TimeOutWhileCreatingIsAResultButWhileRepairingItReachesTheCaller) {
  put_driver_files();
  context.timeouts.create = 300ms;
  context.timeouts.config = 300ms;
  sc.answer("query", 1, kNoService);
  sc.answer("create", {kOk.out, "", 0, 120s});
  EXPECT_EQ(install_driver(context), DriverResult(false, "驱动安装超时"));

  sc.answer("query", kStopped);
  sc.answer("config", {kOk.out, "", 0, 120s});
  try {
    install_driver(context);
    ADD_FAILURE() << "a time-out while repairing must reach the caller";
  } catch (const DriverCommandError& error) {
    EXPECT_TRUE(error.timed_out());
    EXPECT_EQ(error.argv().at(1), "config");
  }
}

TEST_F(DriverSetupTest, MissingToolMeansNoServiceAndFailureResults) {
  put_driver_files();
  context.run = [](std::vector<std::string> argv, std::chrono::milliseconds timeout) {
    argv.at(0) = "tovix-no-such-tool";
    return run_command(argv, timeout);
  };
  EXPECT_FALSE(is_driver_installed(context));
  EXPECT_FALSE(is_driver_running(context));
  EXPECT_THAT(install_driver(context).second, StartsWith("驱动安装异常: "));
  EXPECT_THAT(uninstall_driver(context).second, StartsWith("卸载异常: "));
}

TEST_F(DriverSetupTest, UninstallTrustsCode1060OnlyOnTheErrorStream) {
  sc.answer("stop", kOk);
  sc.answer("delete", 1, {"", "[SC] OpenService FAILED 1060: The specified service does not exist.", 1060});
  sc.answer("delete", 2, {"[SC] OpenService FAILED 1060: The specified service does not exist.", "", 1060});
  sc.answer("delete", 3, {"[SC] DeleteService SUCCESS", "", 0});
  sc.answer("delete", 4, {"", "", 0, 120s});

  EXPECT_EQ(uninstall_driver(context), DriverResult(true, "驱动已卸载"));
  EXPECT_EQ(uninstall_driver(context),
            DriverResult(false, "卸载失败:\n[SC] OpenService FAILED 1060: The specified service does not exist."));
  EXPECT_EQ(uninstall_driver(context), DriverResult(true, "驱动已卸载"));
  EXPECT_THAT(sc.calls(), ElementsAre(kStop, kDelete, kStop, kDelete, kStop, kDelete));

  context.timeouts.delete_uninstall = 300ms;
  const auto [ok, message] = uninstall_driver(context);
  EXPECT_FALSE(ok);
  EXPECT_THAT(message, StartsWith("卸载异常: "));
}

TEST_F(DriverSetupTest, QueryOutputDecidesInstalledAndRunning) {
  const std::vector<std::pair<ScAnswer, bool>> running_cases{
      {kRunning, true},
      {kStopped, false},
      // Only the STATE line's code counts: a "4" in a stopped service's exit code does not.
      {{"SERVICE_NAME: WinDivert\n STATE : 1 STOPPED\n WIN32_EXIT_CODE : 1064 (0x428)\n", ""}, false},
      {{"SERVICE_NAME: WinDivert\r\n STATE : 4 \xe6\xad\xa3\xe5\x9c\xa8\xe8\xbf\x90\xe8\xa1\x8c\r\n", ""}, true},
      {{"RUNNING", ""}, false},
      {kNoService, false},
  };
  for (std::size_t i = 0; i < running_cases.size(); ++i)
    sc.answer("query", static_cast<int>(i) + 1, running_cases[i].first);
  for (const auto& [answer, expected] : running_cases) EXPECT_EQ(is_driver_running(context), expected) << answer.out;

  sc.answer("query", kStopped);
  EXPECT_TRUE(is_driver_installed(context));
  sc.answer("query", kNoService);
  EXPECT_FALSE(is_driver_installed(context));
  EXPECT_EQ(sc.calls().back(), kQuery);
}

TEST_F(DriverSetupTest, EachCommandGetsItsOwnTimeOut) {
  put_driver_files();
  std::vector<std::pair<std::string, std::chrono::milliseconds>> seen;
  context.run = [&seen](const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
    seen.emplace_back(argv.at(1), timeout);
    return run_command(argv, timeout);
  };
  sc.answer("query", 1, kStopped);
  sc.answer("query", 2, kStopped);
  sc.answer("query", kRunning);
  sc.answer("create", 1, {"", "", 1072});
  for (const char* verb : {"config", "stop", "start", "delete", "create"}) sc.answer(verb, kOk);
  ASSERT_TRUE(install_driver(context).first);
  ASSERT_TRUE(uninstall_driver(context).first);

  using P = std::pair<std::string, std::chrono::milliseconds>;
  EXPECT_THAT(seen, ElementsAre(P{"query", 5s}, P{"config", 5s}, P{"stop", 5s}, P{"start", 10s}, P{"query", 5s},
                                P{"delete", 10s}, P{"create", 10s}, P{"delete", 10s}, P{"create", 10s}, P{"start", 15s},
                                P{"query", 5s}, P{"stop", 10s}, P{"delete", 10s}));
}

}  // namespace
}  // namespace tovix
