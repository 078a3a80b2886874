// The application program itself: a second start hands over to the first; headless mode in a
// network namespace on the real Linux backend carries a curl through the proxy and ends with 0
// on SIGTERM, its diversion rules gone, and tells once of a proxy that rejects the account;
// --restore-network clears what a killed run left and leaves a running engine alone.
#include <gtest/gtest.h>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>

#include <csignal>
#include <fstream>

#include "app/core/log_file.h"
#include "app/core/single_instance.h"
#include "tests/support/http_destination.h"
#include "tests/support/loopback_server.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tovix::testing {
namespace {

using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

void write_config(const std::filesystem::path& file, const Json& values) { std::ofstream(file) << values.dump(4); }

// Also when the first was started at log-on (--minimized; offscreen there is no tray, so its
// window is minimised rather than hidden).
TEST(AppProcess, ASecondStartBringsTheFirstWindowForward) {
  for (const QStringList& first_options : {QStringList(), QStringList({"--minimized"})}) {
    SCOPED_TRACE(first_options.join(' ').toStdString());
    TempDir dir;
    const auto config = dir / "config.json";
    write_config(config, {{"proxy_list", Json::array()}});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess first;
    first.setProcessEnvironment(environment);
    first.start(TOVIX_APP_PATH, first_options + QStringList({"--config", QString::fromStdString(config.string())}));
    ASSERT_TRUE(first.waitForStarted());
    const QString lock = QDir::temp().filePath(app::SingleInstance::instance_key(config) + ".lock");
    ASSERT_TRUE(eventually([&] { return QFile::exists(lock) || first.state() == QProcess::NotRunning; }));
    ASSERT_EQ(first.state(), QProcess::Running) << first.readAllStandardError().toStdString();

    QProcess second;
    second.setProcessEnvironment(environment);
    second.start(TOVIX_APP_PATH, {"--config", QString::fromStdString(config.string())});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_TRUE(second.readAllStandardOutput().contains("已在运行"));
    EXPECT_EQ(first.state(), QProcess::Running);
    const auto log = dir / app::LOG_FILE_NAME;
    EXPECT_TRUE(eventually([&] { return read_text(log).find("切换到已打开的窗口") != std::string::npos; }))
        << read_text(log);
    first.terminate();
    ASSERT_TRUE(first.waitForFinished(30000));
    EXPECT_EQ(first.exitCode(), 0) << "SIGTERM quits, whatever closing the window would do";
  }
}

TEST(AppProcess, HelpNamesTheStartAtLogOnAndRestoreFlags) {
  QProcess help;
  help.start(TOVIX_APP_PATH, {"--help"});
  ASSERT_TRUE(help.waitForFinished(30000));
  EXPECT_EQ(help.exitCode(), 0);
  const QString text = QString::fromUtf8(help.readAllStandardOutput());
  EXPECT_TRUE(text.contains(QRegularExpression("--minimized +启动时窗口隐藏在系统托盘中"))) << text.toStdString();
  EXPECT_TRUE(text.contains(QRegularExpression("--restore-network +清除异常退出的引擎遗留的分流规则"))) << text.toStdString();
}

class HeadlessInNamespace : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string reason = NetnsPair::unavailable_reason(); !reason.empty()) GTEST_SKIP() << reason;
    _pair = std::make_unique<NetnsPair>();
    NetnsScope remote(_pair->remote());
    _destination = std::make_unique<HttpDestination>("0.0.0.0", std::make_shared<const std::string>(256 * 1024, 'x'));
  }

  // microsocks in the remote namespace, accepting on the port returned.
  int start_microsocks() {
    const int port = free_port_in(_pair->remote());
    _proxy = std::make_unique<NetnsProcess>(
        _pair->remote(),
        std::vector<std::string>{"microsocks", "-i", "0.0.0.0", "-p", std::to_string(port), "-u", PROXY_USER, "-P",
                                 PROXY_PASSWORD},
        _dir / "microsocks.out");
    wait_until_accepting_in(_pair->remote(), NetnsPair::REMOTE_IP, port);
    return port;
  }
  // A config with that one proxy, given `password`, and no chosen application.
  std::filesystem::path proxy_config(int port, const std::string& password) {
    const auto config = _dir / "config.json";
    write_config(config, {{"proxy_list", Json::array({{{"type", "socks5"},
                                                       {"host", NetnsPair::REMOTE_IP},
                                                       {"port", port},
                                                       {"username", PROXY_USER},
                                                       {"password", password}}})},
                          {"process_list", Json::array()}});
    return config;
  }

  TempDir _dir;
  std::unique_ptr<NetnsPair> _pair;
  std::unique_ptr<HttpDestination> _destination;
  std::unique_ptr<NetnsProcess> _proxy;
};

TEST_F(HeadlessInNamespace, CarriesACurlThroughTheProxyAndStopsCleanlyOnSigterm) {
  const auto config = proxy_config(start_microsocks(), PROXY_PASSWORD);
  NetnsProcess app(_pair->client(), {TOVIX_APP_PATH, "--headless", "--config", config.string()}, _dir / "app.out");
  ASSERT_TRUE(app.wait_for_output("[状态] 代理已启?| 全局代理 | 1IP轮询", 60s)) << app.output();

  const std::string url =
      "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(_destination->port()) + "/data";
  const CommandResult curl = NetnsPair::run(
      _pair->client(), {"curl", "-s", "-o", "/dev/null", "-w", "%{size_download}", "--max-time", "20", url});
  EXPECT_EQ(curl.exit_code, 0) << app.output();
  EXPECT_EQ(curl.standard_output, std::to_string(256 * 1024));
  ASSERT_FALSE(_destination->peers().empty());
  EXPECT_EQ(_destination->peers().back(), NetnsPair::REMOTE_IP) << "the connection came from the proxy, not the client";

  EXPECT_EQ(app.stop(SIGTERM, 30s), 0) << app.output();
  EXPECT_NE(app.output().find("[状态] 已停"), std::string::npos) << app.output();
  EXPECT_EQ(app.output().find(PROXY_PASSWORD), std::string::npos) << "no password on the console";
  const std::string rules = NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "raw"});
  EXPECT_EQ(rules.find("NFQUEUE"), std::string::npos) << rules;
  const std::string log = read_text(_dir / app::LOG_FILE_NAME);
  EXPECT_EQ(log.find(PROXY_PASSWORD), std::string::npos) << log;
}

// A session that ends (log-out, shutdown) sends the window SIGTERM: the engine it left running
// must take its diversion rules with it, or every TCP packet stays queued with no reader.
TEST_F(HeadlessInNamespace, TheWindowStopsItsEngineOnSigterm) {
  TempDir dir;
  const auto config = dir / "config.json";
  write_config(config, {{"proxy_list", Json::array({{{"type", "socks5"},
                                                     {"host", NetnsPair::REMOTE_IP},
                                                     {"port", free_port_in(_pair->remote())},
                                                     {"username", PROXY_USER},
                                                     {"password", PROXY_PASSWORD}}})},
                        {"process_list", Json::array()},
                        {"enabled", true}});
  NetnsProcess app(_pair->client(), {"env", "QT_QPA_PLATFORM=offscreen", TOVIX_APP_PATH, "--config", config.string()},
                   dir / "app.out");
  auto diversion_rules = [&] { return NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "raw"}); };
  ASSERT_TRUE(eventually([&] { return diversion_rules().find("NFQUEUE") != std::string::npos; }, 60s)) << app.output();
  EXPECT_EQ(app.stop(SIGTERM, 30s), 0) << app.output();
  EXPECT_EQ(diversion_rules().find("NFQUEUE"), std::string::npos) << diversion_rules();
}

// A killed run leaves its queue rules with no reader, which holds every new TCP connection of
// the namespace: --restore-network removes them (and says so), but never the rules of an engine
// that still reads the queue, as its diverted connections would then leave directly.
TEST_F(HeadlessInNamespace, RestoreNetworkClearsWhatAKilledRunLeftAndLeavesARunningEngineAlone) {
  const auto config = proxy_config(start_microsocks(), PROXY_PASSWORD);
  NetnsProcess app(_pair->client(), {TOVIX_APP_PATH, "--headless", "--config", config.string()}, _dir / "app.out");
  ASSERT_TRUE(app.wait_for_output("[状态] 代理已启?| 全局代理 | 1IP轮询", 60s)) << app.output();
  const auto restore = [&] { return NetnsPair::run(_pair->client(), {TOVIX_APP_PATH, "--restore-network"}); };
  const auto diversion_left = [&] {
    const std::string rules = NetnsPair::run_ok(_pair->client(), {"iptables-save", "-t", "raw"});
    const std::string sets = NetnsPair::run_ok(_pair->client(), {"ipset", "list", "-n"});
    return rules.find("NFQUEUE") != std::string::npos || sets.find("tovix") != std::string::npos;
  };

  const CommandResult refused = restore();
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.standard_error.find("正在运行"), std::string::npos) << refused.standard_error;
  EXPECT_TRUE(diversion_left()) << "the running engine keeps its rules";

  EXPECT_EQ(app.stop(SIGKILL), 128 + SIGKILL);
  ASSERT_TRUE(diversion_left()) << "a killed run leaves its rules";
  const CommandResult restored = restore();
  EXPECT_EQ(restored.exit_code, 0) << restored.standard_error;
  EXPECT_NE(restored.standard_output.find("已清除遗留的分流规则"), std::string::npos) << restored.standard_output;
  EXPECT_NE(restored.standard_output.find("TOVIX_DIVERT"), std::string::npos) << restored.standard_output;
  EXPECT_FALSE(diversion_left());
  const std::string url =
      "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(_destination->port()) + "/data";
  const CommandResult direct =
      NetnsPair::run(_pair->client(), {"curl", "-s", "-o", "/dev/null", "--max-time", "20", url});
  EXPECT_EQ(direct.exit_code, 0) << "new connections leave again";

  const CommandResult again = restore();
  EXPECT_EQ(again.exit_code, 0);
  EXPECT_NE(again.standard_output.find("没有遗留的分流规则"), std::string::npos) << again.standard_output;
}

TEST_F(HeadlessInNamespace, AnEngineThatCannotStartEndsTheProgramWithAFailure) {
  TempDir dir;
  const auto config = dir / "config.json";
  write_config(config, {{"proxy_list", Json::array()}, {"proxy_host", ""}});
  NetnsProcess app(_pair->client(), {TOVIX_APP_PATH, "--headless", "--config", config.string()}, dir / "app.out");
  EXPECT_EQ(app.wait(60s), 1) << app.output();
  EXPECT_NE(app.output().find("[错误] 代理列表为空，无法启"), std::string::npos) << app.output();
}

TEST_F(HeadlessInNamespace, AProxyThatRejectsTheAccountIsToldOnceOnTheConsole) {
  const int proxy_port = start_microsocks();
  const auto config = proxy_config(proxy_port, "expired-password");
  NetnsProcess app(_pair->client(), {TOVIX_APP_PATH, "--headless", "--config", config.string()}, _dir / "app.out");
  ASSERT_TRUE(app.wait_for_output("[状态] 代理已启?| 全局代理 | 1IP轮询", 60s)) << app.output();

  const std::string notice =
      "[错误] 代理 " + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(proxy_port) + " 连接失败: ";
  const std::string url =
      "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(_destination->port()) + "/data";
  for (int attempt = 0; attempt < 3; ++attempt) {
    const CommandResult curl =
        NetnsPair::run(_pair->client(), {"curl", "-s", "-o", "/dev/null", "--max-time", "20", url});
    EXPECT_NE(curl.exit_code, 0) << "the relay gives up on the connection";
    if (attempt == 0) {
      ASSERT_TRUE(app.wait_for_output(notice, 30s)) << app.output();
    }
  }
  EXPECT_EQ(app.stop(SIGTERM, 30s), 0) << app.output();
  const std::string output = app.output();
  const auto first = output.find(notice);
  ASSERT_NE(first, std::string::npos) << output;
  EXPECT_EQ(output.find(notice, first + 1), std::string::npos) << "once, not once per connection:\n" << output;
  EXPECT_NE(output.find("user name or password rejected", first), std::string::npos) << output;
  EXPECT_EQ(output.find("expired-password"), std::string::npos) << "no password on the console";
}

}  // namespace
}  // namespace tovix::testing
