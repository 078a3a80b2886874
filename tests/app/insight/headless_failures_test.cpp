// Headless mode tells of a failing proxy as the window does: once per proxy on the console,
// however many connections fail at it.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <sstream>

#include "app/core/headless_runner.h"
#include "app/core/proxy_text.h"
#include "app/insight/proxy_failure_status.h"
#include "engine/rules/rule_json.h"
#include "tests/app/insight/diverted_connection.h"
#include "tests/app/insight/insight_window_fixture.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::testing {
namespace {

using namespace std::chrono_literals;
constexpr int WAIT_MS = 30000;

struct FailingProxy {
  const char* name;
  bool listening;
  const char* password;
  const char* reason;  // a part of the printed reason
};

class HeadlessFailures : public InsightWindowTest, public ::testing::WithParamInterface<FailingProxy> {
 protected:
  std::vector<std::string> lines_with(const std::string& part) const {
    std::vector<std::string> found;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
      if (line.find(part) != std::string::npos) found.push_back(line);
    }
    return found;
  }
  // A diverted connection that the relay gives up on; when the client sees the end, the relay
  // has already told the observer, so its notice is posted.
  void fail_one_connection(app::HeadlessRunner& runner) {
    auto connection = open_diverted_connection(diverter(), echo.port(), CHROME_PID);
    EXPECT_TRUE(sees_end_of_stream(*connection, 30s));
    connection->close();
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(&runner);
  }

  std::ostringstream out;
};

TEST_P(HeadlessFailures, PrintsTheProxysFailureOnceHoweverManyConnectionsFail) {
  const FailingProxy& expected = GetParam();
  std::unique_ptr<MicrosocksProxy> proxy;
  int port = free_loopback_port();
  if (expected.listening) {
    proxy = std::make_unique<MicrosocksProxy>(PROXY_USER, PROXY_PASSWORD);
    port = proxy->port();
  }
  settings.set("proxy_list", nlohmann::ordered_json::array(
                                 {app::make_proxy_entry("socks5", "127.0.0.1", port, PROXY_USER, expected.password)}));
  // The proxy and the destination are on loopback, which the default rules send direct.
  settings.set(ROUTE_RULES_KEY, nlohmann::ordered_json::array());
  app::HeadlessRunner runner(settings, engine_options(), out);
  insight::show_proxy_failures(failures, runner.engine());
  const std::string notice = "[错误] 代理 127.0.0.1:" + std::to_string(port) + " 连接失败: ";

  runner.start();
  ASSERT_TRUE(QTest::qWaitFor([&] { return runner.engine().state() == app::EngineState::running; }, WAIT_MS))
      << out.str();
  fail_one_connection(runner);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !lines_with(notice).empty(); }, WAIT_MS)) << out.str();
  fail_one_connection(runner);
  fail_one_connection(runner);
  const auto printed = lines_with(notice);
  ASSERT_EQ(printed.size(), 1u) << out.str();
  EXPECT_NE(printed[0].find(expected.reason), std::string::npos) << printed[0];
  EXPECT_EQ(printed[0].find(" proxy 127.0.0.1"), std::string::npos) << "the proxy is named once: " << printed[0];
  EXPECT_EQ(out.str().find(expected.password), std::string::npos) << "no password on the console";

  QSignalSpy finished(&runner, &app::HeadlessRunner::finished);
  runner.request_stop();
  ASSERT_TRUE(finished.count() > 0 || finished.wait(WAIT_MS));
  EXPECT_EQ(finished.at(0).at(0).toInt(), 0);
}

// A runner that goes while its engine runs stops the engine without calling back into itself.
TEST_P(HeadlessFailures, ARunnerDestroyedWhileItsEngineRunsStopsItQuietly) {
  settings.set(ROUTE_RULES_KEY, nlohmann::ordered_json::array());
  settings.set("proxy_list", nlohmann::ordered_json::array({app::make_proxy_entry(
                                 "socks5", "127.0.0.1", free_loopback_port(), PROXY_USER, PROXY_PASSWORD)}));
  {
    app::HeadlessRunner runner(settings, engine_options(), out);
    runner.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return runner.engine().state() == app::EngineState::running; }, WAIT_MS))
        << out.str();
  }
  EXPECT_TRUE(lines_with("[停止]").empty()) << out.str();
}

INSTANTIATE_TEST_SUITE_P(Proxies, HeadlessFailures,
                         ::testing::Values(FailingProxy{"WrongPassword", true, "not-the-password", "rejected"},
                                           FailingProxy{"NotListening", false, PROXY_PASSWORD, "refused"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tovix::testing
