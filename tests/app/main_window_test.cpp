// The whole window on fake diverters: start with a proxy and a chosen application, status,
// stop; hot updates; imports from the products dialog; API mode against a loopback extraction
// server; sign-out; closing while the engine runs.
#include <gtest/gtest.h>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>

#include "app/core/proxy_text.h"
#include "app/window/account_panel.h"
#include "app/window/api_mode_panel.h"
#include "app/window/engine_bar.h"
#include "app/window/main_window.h"
#include "app/window/process_list_panel.h"
#include "app/window/proxy_list_panel.h"
#include "engine/pool/spread_mode.h"
#include "tests/app/window_fixture.h"
#include "tests/support/console_fake.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"
#include "ui/plan_dialog/plan_dialog.h"

namespace tovix::testing {
namespace {

using Json = nlohmann::ordered_json;
using app::EngineState;
constexpr int WAIT_MS = 30000;

// Waits until the engine bar's status line starts with `prefix`.
bool status_shows(app::MainWindow& window, const QString& prefix) {
  QLabel* status = window.engine_bar()->status_label();
  if (status->text().startsWith(prefix)) return true;
  QSignalSpy texts(&window.engine(), &app::EngineController::status_text);
  QDeadlineTimer deadline(WAIT_MS);
  while (!deadline.hasExpired()) {
    if (!texts.wait(static_cast<int>(deadline.remainingTime()))) break;
    if (status->text().startsWith(prefix)) return true;
  }
  ADD_FAILURE() << "status is " << status->text().toStdString();
  return false;
}

class MainWindowTest : public WindowTest {};

TEST_F(MainWindowTest, StartWithAProxyAndAChosenApplicationThenStop) {
  MicrosocksProxy proxy;
  app::MainWindow window(settings, fake_engine());
  window.proxy_panel()->add_entries(Json::array({proxy_of(proxy)}));
  window.process_panel()->add_names({"tovix-not-running.exe"});
  QPushButton* toggle = window.engine_bar()->toggle_button();
  EXPECT_EQ(toggle->text(), "启动代理");

  toggle->click();
  EXPECT_EQ(settings.enabled(), true);
  ASSERT_TRUE(status_shows(window, QStringLiteral("代理已启?| 无运行进程，降级全局 | 中继:")));
  EXPECT_EQ(window.engine().state(), EngineState::running);
  EXPECT_EQ(toggle->text(), "停止代理");
  EXPECT_EQ(window.engine_bar()->state_label()->text(), "● 代理运行中");
  EXPECT_EQ(window.engine_bar()->upload_label()->text(), "0 B  0 B/s");

  // A change of the list while running reaches the engine at once.
  window.proxy_panel()->add_entries(Json::array({proxy_of(proxy)}));
  ASSERT_TRUE(status_shows(window, QStringLiteral("API 刷新: 2个代理已更新")));
  EXPECT_EQ(window.engine().core().engine().relay_ports().size(), 2u);

  toggle->click();
  ASSERT_TRUE(state_becomes(window, EngineState::stopped));
  EXPECT_EQ(window.engine_bar()->status_label()->text(), "已停");
  EXPECT_EQ(settings.enabled(), false);
  EXPECT_FALSE(window.engine().core().isRunning());
  EXPECT_EQ(toggle->text(), "启动代理");
}

// A reader that takes a burst through a real relay, then reads nothing more for a while: the
// rate on screen keeps showing the burst instead of falling to 0 B/s at the next refresh.
TEST_F(MainWindowTest, TheCurrentRateOutlastsTheRefreshAfterABurst) {
  MicrosocksProxy proxy;
  LoopbackServer echo(greet_then_echo());
  settings.set_proxy_list(Json::array({proxy_of(proxy)}));
  app::MainWindow window(settings, fake_engine());
  window.start_engine();
  ASSERT_TRUE(status_shows(window, QStringLiteral("代理已启?| 全局代理 | 1IP轮询")));
  app::EngineBar& bar = *window.engine_bar();
  bar.refresh_traffic();
  EXPECT_EQ(bar.download_label()->text(), "0 B  0 B/s");

  std::shared_ptr<FakeDiverter> fake = diverters.wait_for(0);
  ASSERT_TRUE(fake);
  auto client = Socket::create_tcp();
  client->bind(FAKE_SRC_IP, 0);
  fake->push(tcp_packet("10.0.0.5", client->local_address().second, "127.0.0.1", echo.port(), SYN));
  ASSERT_TRUE(fake->wait_until_idle(std::chrono::milliseconds(WAIT_MS)));
  ASSERT_EQ(fake->sent().size(), 1u);
  client->connect("127.0.0.1", wire_of(fake->sent().back()).dst_port, std::chrono::seconds(10));
  const std::string burst(64 * 1024, 'x');
  client->send_all(burst.data(), burst.size());
  ASSERT_EQ(receive_up_to(*client, burst.size()).size(), burst.size());
  ASSERT_TRUE(eventually([&] { return window.engine().traffic().second >= burst.size(); }));

  bar.refresh_traffic();
  EXPECT_TRUE(bar.download_label()->text().startsWith("64.0 KB  ")) << bar.download_label()->text().toStdString();
  // Nothing moves between these two refreshes, as while a reader drains its buffers.
  bar.refresh_traffic();
  EXPECT_FALSE(bar.download_label()->text().endsWith(" 0 B/s")) << bar.download_label()->text().toStdString();
  EXPECT_FALSE(bar.upload_label()->text().endsWith(" 0 B/s")) << bar.upload_label()->text().toStdString();
  client->close();
  window.stop_engine();
  ASSERT_TRUE(state_becomes(window, EngineState::stopped));
  EXPECT_EQ(bar.download_label()->text(), "64.0 KB  0 B/s") << "stopped: the total stays, nothing flows";
}

// The figures change every second: their room is fixed by the widest, so neither they nor the
// button beside them move, and the widest is not cut off even in the smallest window.
TEST_F(MainWindowTest, TheTrafficFiguresKeepTheirRoom) {
  app::MainWindow window(settings, fake_engine());
  window.show();
  QApplication::processEvents();
  app::EngineBar& bar = *window.engine_bar();
  const int label_width = bar.download_label()->width();
  const int button_x = bar.toggle_button()->x();
  bar.download_label()->setText("1023.9 MB  1023.9 MB/s");
  QApplication::processEvents();
  EXPECT_EQ(bar.download_label()->width(), label_width);
  EXPECT_EQ(bar.toggle_button()->x(), button_x);
  window.resize(100, 100);
  QApplication::processEvents();
  EXPECT_GE(bar.download_label()->width(), bar.download_label()->sizeHint().width());
  EXPECT_GE(bar.toggle_button()->width(), bar.toggle_button()->sizeHint().width());
  EXPECT_GE(bar.status_label()->width(), 200) << "the status line does not wrap into a narrow column";
}

// Running is shown only once the diversion is open: a start that fails before (no proxy) or
// at the opening of the diverter never shows it, ends stopped and says why.
TEST_F(MainWindowTest, AnEngineThatCannotStartSaysWhyAndIsOff) {
  MicrosocksProxy proxy;
  struct Case {
    const char* name;
    bool with_proxy;
    std::optional<DivertOsError> open_failure;
    std::string error;
  };
  const Case cases[] = {
      {"no proxy", false, std::nullopt, "代理列表为空，无法启"},
      {"not elevated", true, FakeDiverter::access_denied(), TEXT_ACCESS_DENIED},
      {"driver missing", true, FakeDiverter::invalid_parameter(),
       "WinDivert 驱动未安装或未运?([WinError 87] 参数错误。)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings.set_proxy_list(c.with_proxy ? Json::array({proxy_of(proxy)}) : Json::array());
    diverters.prepare = [&c](FakeDiverter& fake) {
      if (c.open_failure) fake.fail_next_open(*c.open_failure);
    };
    app::MainWindow window(settings, fake_engine());
    QSignalSpy states(&window.engine(), &app::EngineController::state_changed);
    window.start_engine();
    ASSERT_TRUE(state_becomes(window, EngineState::stopped));
    for (const auto& state : states) EXPECT_NE(state[0].value<EngineState>(), EngineState::running);
    EXPECT_EQ(window.engine_bar()->error_label()->text().toStdString(), c.error);
    EXPECT_EQ(window.engine_bar()->state_label()->text(), "● 代理已停止");
    EXPECT_EQ(window.engine_bar()->toggle_button()->text(), "启动代理");
    EXPECT_EQ(settings.enabled(), false) << "not left switched on for the next start";
  }
}

TEST_F(MainWindowTest, StartsByItselfWhenLeftSwitchedOnAndClosingStopsTheEngine) {
  MicrosocksProxy proxy;
  settings.set_proxy_list(Json::array({proxy_of(proxy)}));
  settings.set_enabled(true);
  auto window = std::make_unique<app::MainWindow>(settings, fake_engine());
  window->show();
  window->start_if_enabled();
  ASSERT_TRUE(status_shows(*window, QStringLiteral("代理已启?| 全局代理 | 1IP轮询 | 中继:")));
  window->close();
  EXPECT_FALSE(window->engine().core().isRunning()) << "closing waits for the engine thread";
  EXPECT_FALSE(diverters.wait_for(0)->is_open());
  EXPECT_EQ(settings.enabled(), true) << "closing is not switching off";
  window.reset();
}

TEST_F(MainWindowTest, ProductImportsBecomeProxiesAndApiLinksFillTheApiMode) {
  ConsoleFake console;
  console.answer_json("GET", "/console/v1/tv_proxy_domestic/host",
                      {{"status", 200},
                       {"data",
                        {{"list", Json::array({{{"status", "Active"},
                                                {"product_name", "长效"},
                                                {"name", "A"},
                                                {"user_name", "u3"},
                                                {"password", "p3"},
                                                {"ip_first", "10.0.0.3:803"}},
                                               {{"status", "Active"},
                                                {"product_name", "长效"},
                                                {"name", "B"},
                                                {"user_name", "u4"},
                                                {"password", "p4"},
                                                {"ip_first", "bad"}}})},
                         {"count", 2}}}});
  settings.set_tovixproxy_base_url(console.base_url());
  settings.set_tovixproxy_jwt("jwt-token-1");
  settings.set_tovixproxy_account("member");
  app::MainWindow window(settings, fake_engine());
  app::AccountPanel& account = *window.account_panel();
  EXPECT_EQ(account.account_label()->text(), "已登录: member");

  PlanDialog* products = account.open_products(app::MODULE_LONG_TERM);
  QTRY_COMPARE_WITH_TIMEOUT(products->table->rowCount(), 2, WAIT_MS);
  products->_on_cell_clicked(0, 5);
  EXPECT_EQ(settings.proxy_list(), Json::array({app::make_proxy_entry("socks5", "10.0.0.3", 803, "u3", "p3")}));

  account.import_type_box()->setCurrentIndex(1);
  emit products->batch_long_term_import({{"10.0.0.5:805", "u5", "p5"}, {"bad", "u", "p"}});
  ASSERT_EQ(settings.proxy_list().size(), 2u);
  EXPECT_EQ(settings.proxy_list()[1], app::make_proxy_entry("http", "10.0.0.5", 805, "u5", "p5"));
  EXPECT_TRUE(account.status_label()->text().contains("1 个地址无效"));
  EXPECT_EQ(window.proxy_panel()->table()->rowCount(), 2);

  emit products->api_link_filled("http://api.example/get?num=1");
  EXPECT_EQ(settings.api_url(), "http://api.example/get?num=1");
  EXPECT_EQ(settings.api_use(), true);
  emit products->api_cred_filled("http://api.example/get?num=2", "pkgU", "pkgP");
  EXPECT_EQ(settings.api_url(), "http://api.example/get?num=2");
  EXPECT_EQ(settings.api_user(), "pkgU");
  EXPECT_EQ(settings.api_pass(), "pkgP");
  EXPECT_EQ(window.api_panel()->username_edit()->text(), "pkgU");
}

TEST_F(MainWindowTest, SignOutClearsTheTokenOffTheGuiThread) {
  ConsoleFake console;
  console.answer_json("POST", "/console/v1/logout", {{"status", 200}, {"msg", "ok"}});
  settings.set_tovixproxy_base_url(console.base_url());
  settings.set_tovixproxy_jwt("jwt-token-2");
  app::MainWindow window(settings, fake_engine());
  app::AccountPanel& account = *window.account_panel();
  QSignalSpy signed_out(&account, &app::AccountPanel::signed_out);
  account.sign_out_button()->click();
  EXPECT_TRUE(account.is_signing_out());
  ASSERT_TRUE(signed_out.wait(WAIT_MS));
  EXPECT_EQ(settings.tovixproxy_jwt(), "");
  EXPECT_EQ(account.account_label()->text(), "未登录");
  EXPECT_EQ(console.last().header("Authorization").value_or(""), "Bearer jwt-token-2");
}

FakeAnswer lines(const std::string& body) {
  FakeAnswer answer;
  answer.body = body;
  answer.content_type = "text/plain";
  return answer;
}

TEST_F(MainWindowTest, ApiModeStartsWithTheFetchedListAndHotUpdatesTheRelays) {
  MicrosocksProxy first, second, third;
  ConsoleFake extraction;
  auto answer_with = [&](std::vector<const UpstreamProxy*> proxies) {
    std::string body;
    for (const UpstreamProxy* proxy : proxies) body += "127.0.0.1:" + std::to_string(proxy->port()) + "\r\n";
    extraction.answer("GET", "/get", lines(body));
  };
  answer_with({&first, &second});
  settings.set_api_use(true);
  settings.set_api_url(extraction.base_url() + "/get");
  settings.set_api_user(PROXY_USER);
  settings.set_api_pass(PROXY_PASSWORD);
  settings.set(pool::PER_CONNECTION_MODE_KEY, true);  // connections take the two proxies in turn
  app::MainWindow window(settings, fake_engine());
  QSignalSpy in_use(&window.engine(), &app::EngineController::proxies_in_use);
  window.start_engine();
  ASSERT_TRUE(status_shows(window, QStringLiteral("代理已启?| 全局代理 | 2IP轮询 | 中继:")));
  EXPECT_EQ(in_use[0][0].value<Json>()[1], proxy_of(second));
  EXPECT_EQ(settings.proxy_list(), Json::array()) << "the user's own list is left as it was";

  answer_with({&first, &second, &third});
  window.engine().refresh_api_now();
  ASSERT_TRUE(status_shows(window, QStringLiteral("API 刷新: 3个代理已更新")));
  EXPECT_EQ(window.engine().core().engine().relay_ports().size(), 3u);
  EXPECT_TRUE(window.api_panel()->status_label()->text().contains("3 个代理"));

  // An error answer keeps the relays and says why.
  extraction.answer("GET", "/get", FakeAnswer::json({{"code", 5}, {"msg", "套餐已过期"}}));
  QSignalSpy api(&window.engine(), &app::EngineController::api_status);
  window.engine().refresh_api_now();
  ASSERT_TRUE(api.wait(WAIT_MS));
  EXPECT_EQ(api[0][0].toString(), QStringLiteral("API 提取失败（保留当前代理）: 提取接口返回: 套餐已过期"));
  EXPECT_EQ(window.api_panel()->status_label()->text(), api[0][0].toString());
  EXPECT_EQ(window.engine().core().engine().relay_ports().size(), 3u);
  EXPECT_EQ(window.engine().state(), EngineState::running);
  window.stop_engine();
  ASSERT_TRUE(state_becomes(window, EngineState::stopped));
}

TEST_F(MainWindowTest, AFailedFirstFetchFallsBackToTheUsersList) {
  MicrosocksProxy proxy;
  settings.set_proxy_list(Json::array({proxy_of(proxy)}));
  settings.set_api_use(true);
  settings.set_api_url("http://127.0.0.1:" + std::to_string(free_loopback_port()) + "/get");
  app::MainWindow window(settings, fake_engine());
  window.start_engine();
  ASSERT_TRUE(status_shows(window, QStringLiteral("代理已启?| 全局代理 | 1IP轮询")));
  EXPECT_TRUE(window.api_panel()->status_label()->text().startsWith("API 提取失败，使用代理列表启动"));
}

TEST_F(MainWindowTest, ExtraPanelsJoinAsTabsAndASecondStartBringsTheWindowForward) {
  app::MainWindow window(settings, fake_engine());
  const int tabs = window.tabs()->count();
  window.add_panel(new QLabel("连接"), "连接");
  EXPECT_EQ(window.tabs()->count(), tabs + 1);
  window.showMinimized();
  window.bring_forward();
  EXPECT_TRUE(window.isVisible());
  EXPECT_FALSE(window.isMinimized());
}

}  // namespace
}  // namespace tovix::testing
