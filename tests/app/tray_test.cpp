// The tray and the desktop panel, offscreen (the tray's presence is given to the controller):
// the menu and the icon follow the engine, notifications come while the window is out of sight,
// closing hides in the tray only when the user chose so (asked once), and without a tray
// closing quits as it always did.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <mutex>

#include "app/autostart/autostart.h"
#include "app/core/settings_keys.h"
#include "app/window/desktop_panel.h"
#include "app/window/engine_bar.h"
#include "app/window/main_window.h"
#include "app/window/tray_controller.h"
#include "tests/app/window_fixture.h"
#include "tests/support/loopback_server.h"
#include "tests/support/text_fit.h"
#include "ui/status_style.h"

namespace tovix::testing {
namespace {

using Json = nlohmann::ordered_json;
using app::CloseAction;
using app::EngineState;
using app::TrayState;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
constexpr int WAIT_MS = 30000;

QStringList menu_texts(const QMenu& menu) {
  QStringList texts;
  for (const QAction* action : menu.actions()) texts << (action->isSeparator() ? QStringLiteral("—") : action->text());
  return texts;
}

// The colour of the state dot in the icon's lower right corner.
QColor dot_colour(const QIcon& icon) { return icon.pixmap(32, 32).toImage().pixelColor(21, 24); }

class TrayTest : public WindowTest {
 protected:
  // Answers the question at the first close with `answer`, counting the questions.
  app::TrayController::CloseQuestion answering(CloseAction answer) {
    return [this, answer](QWidget*) {
      ++asked;
      return answer;
    };
  }
  int asked = 0;
};

TEST_F(TrayTest, TheMenuStartsAndStopsTheEngineAndTheIconAndTooltipFollow) {
  MicrosocksProxy proxy;
  settings.set_proxy_list(Json::array({proxy_of(proxy)}));
  app::MainWindow window(settings, fake_engine());
  app::TrayController tray(window, settings, true, answering(CloseAction::hide));
  QSignalSpy notified(&tray, &app::TrayController::notified);
  EXPECT_EQ(menu_texts(*tray.menu()), QStringList({"显示主窗口", "启动代理", "—", "退出"}));
  EXPECT_EQ(tray.state(), TrayState::stopped);
  EXPECT_TRUE(tray.icon().toolTip().startsWith("云貂代理 - 代理已停止\n"));

  tray.toggle_action()->trigger();
  ASSERT_TRUE(state_becomes(window, EngineState::running));
  EXPECT_EQ(tray.state(), TrayState::running);
  EXPECT_EQ(tray.toggle_action()->text(), "停止代理");
  EXPECT_EQ(dot_colour(tray.icon().icon()), app::tray_state_colour(TrayState::running));
  window.engine_bar()->refresh_traffic();
  EXPECT_EQ(tray.icon().toolTip().toStdString(), "云貂代理 - 代理运行中\n↑ 上传 0 B  0 B/s\n↓ 下载 0 B  0 B/s");

  tray.toggle_action()->trigger();
  EXPECT_EQ(tray.state(), TrayState::stopping);
  EXPECT_FALSE(tray.toggle_action()->isEnabled()) << "no second stop while stopping";
  ASSERT_TRUE(state_becomes(window, EngineState::stopped));
  EXPECT_EQ(tray.state(), TrayState::stopped) << "stopped as asked: no error";
  EXPECT_EQ(tray.toggle_action()->text(), "启动代理");
  EXPECT_TRUE(tray.toggle_action()->isEnabled());
  EXPECT_EQ(notified.count(), 0);
}

TEST(TrayLook, EachStateHasItsOwnDotAndTheTooltipShowsTheTraffic) {
  const TrayState states[] = {TrayState::stopped, TrayState::starting, TrayState::running, TrayState::error};
  QList<QRgb> colours;
  for (TrayState state : states) {
    const QColor dot = dot_colour(app::tray_icon(state));
    EXPECT_EQ(dot, app::tray_state_colour(state));
    EXPECT_FALSE(colours.contains(dot.rgb())) << "two states look alike";
    colours << dot.rgb();
  }
  app::TrafficReading reading{1536 * 1024, 20 * 1024 * 1024 + 300 * 1024, 12 * 1024, 300 * 1024};
  EXPECT_EQ(app::tray_tooltip(TrayState::running, reading).toStdString(),
            "云貂代理 - 代理运行中\n↑ 上传 1.50 MB  12.0 KB/s\n↓ 下载 20.3 MB  300.0 KB/s");
}

// The engine ends without being asked (here: nothing to start with): the icon turns to error and,
// while the window is out of sight, a notification says why; in sight the window says it itself.
TEST_F(TrayTest, AnEngineThatStopsOnItsOwnShowsTheErrorAndIsNotifiedWhileHidden) {
  app::MainWindow window(settings, fake_engine());
  app::TrayController tray(window, settings, true, answering(CloseAction::hide));
  QSignalSpy notified(&tray, &app::TrayController::notified);
  window.start_engine();
  ASSERT_TRUE(state_becomes(window, EngineState::stopped));
  EXPECT_EQ(tray.state(), TrayState::error);
  EXPECT_EQ(dot_colour(tray.icon().icon()), app::tray_state_colour(TrayState::error));
  EXPECT_TRUE(tray.icon().toolTip().startsWith("云貂代理 - 代理因错误停止"));
  EXPECT_EQ(tray.toggle_action()->text(), "启动代理");
  ASSERT_EQ(notified.count(), 1);
  EXPECT_EQ(notified[0][0].toString(), "代理已停止");
  EXPECT_EQ(notified[0][1].toString(), "代理列表为空，无法启");

  window.show();
  window.start_engine();
  ASSERT_TRUE(state_becomes(window, EngineState::stopped));
  EXPECT_EQ(tray.state(), TrayState::error);
  EXPECT_EQ(notified.count(), 1) << "the window is in sight";
}

TEST_F(TrayTest, ProxyAndApiFailuresAreNotifiedWhileTheWindowIsOutOfSight) {
  MicrosocksProxy proxy;
  settings.set_proxy_list(Json::array({proxy_of(proxy)}));
  settings.set_api_use(true);
  settings.set_api_url("http://127.0.0.1:" + std::to_string(free_loopback_port()) + "/get");
  app::MainWindow window(settings, fake_engine());
  app::TrayController tray(window, settings, true, answering(CloseAction::hide));
  QSignalSpy notified(&tray, &app::TrayController::notified);
  window.start_engine();
  ASSERT_TRUE(state_becomes(window, EngineState::running));
  ASSERT_GE(notified.count(), 1);
  EXPECT_EQ(notified[0][0].toString(), "API 提取失败");
  EXPECT_TRUE(notified[0][1].toString().startsWith("API 提取失败，使用代理列表启动: "));

  tray.notify_proxy_failure("代理 127.0.0.1:1 连接失败: connection refused");
  ASSERT_EQ(notified.count(), 2);
  EXPECT_EQ(notified[1][0].toString(), "代理连接失败");
  EXPECT_EQ(notified[1][1].toString(), "代理 127.0.0.1:1 连接失败: connection refused");
  window.showMinimized();
  tray.notify_proxy_failure("代理 127.0.0.1:2 连接失败: timed out");
  EXPECT_EQ(notified.count(), 3) << "minimised is out of sight too";
  window.showNormal();
  tray.notify_proxy_failure("代理 127.0.0.1:3 连接失败: timed out");
  EXPECT_EQ(notified.count(), 3);
  window.stop_engine();
  ASSERT_TRUE(state_becomes(window, EngineState::stopped));
}

TEST_F(TrayTest, WithoutATrayNothingIsNotifiedAndClosingQuits) {
  app::MainWindow window(settings, fake_engine());
  app::TrayController tray(window, settings, false, answering(CloseAction::hide));
  QSignalSpy notified(&tray, &app::TrayController::notified);
  QSignalSpy closed(&window, &app::MainWindow::closed);
  tray.notify_proxy_failure("代理 127.0.0.1:1 连接失败: connection refused");
  EXPECT_EQ(notified.count(), 0);
  EXPECT_FALSE(tray.icon().isVisible());
  tray.show_window(true);
  EXPECT_TRUE(window.isVisible()) << "a start at log-on without a tray shows the window minimised";
  EXPECT_TRUE(window.isMinimized());
  window.showNormal();
  window.close();
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(settings.get(app::CLOSE_TO_TRAY_KEY).is_null());
}

TEST_F(TrayTest, ClosingFollowsTheChoiceAskedAtTheFirstClose) {
  struct Case {
    const char* name;
    Json stored;
    CloseAction answer;
    int asked;
    bool closed;
    bool visible;
    Json stored_after;
  };
  const Case cases[] = {
      {"first close, to the tray", nullptr, CloseAction::hide, 1, false, false, true},
      {"first close, quit", nullptr, CloseAction::quit, 1, true, false, false},
      {"first close, cancelled", nullptr, CloseAction::stay, 1, false, true, nullptr},
      {"chosen: tray", true, CloseAction::quit, 0, false, false, true},
      {"chosen: quit", false, CloseAction::hide, 0, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asked = 0;
    settings.set(app::CLOSE_TO_TRAY_KEY, c.stored);
    app::MainWindow window(settings, fake_engine());
    app::TrayController tray(window, settings, true, answering(c.answer));
    QSignalSpy closed(&window, &app::MainWindow::closed);
    QSignalSpy chosen(&tray, &app::TrayController::close_choice_made);
    window.show();
    window.close();
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(closed.count(), c.closed ? 1 : 0);
    EXPECT_EQ(window.isVisible(), c.visible);
    EXPECT_EQ(settings.get(app::CLOSE_TO_TRAY_KEY), c.stored_after);
    EXPECT_EQ(chosen.count(), c.asked == 1 && c.answer != CloseAction::stay ? 1 : 0);
  }
}

// Hidden in the tray the engine carries on; a second start or the menu brings the window back,
// and quitting from the menu stops the engine first, leaving it on for the next start.
TEST_F(TrayTest, HiddenInTheTrayTheEngineRunsOnUntilQuit) {
  MicrosocksProxy proxy;
  settings.set_proxy_list(Json::array({proxy_of(proxy)}));
  settings.set(app::CLOSE_TO_TRAY_KEY, true);
  app::MainWindow window(settings, fake_engine());
  app::TrayController tray(window, settings, true, answering(CloseAction::quit));
  QSignalSpy closed(&window, &app::MainWindow::closed);
  tray.show_window(true);
  EXPECT_FALSE(window.isVisible()) << "started at log-on: in the tray only";
  window.bring_forward();
  EXPECT_TRUE(window.isVisible()) << "a second start brings it out of the tray";
  window.start_engine();
  ASSERT_TRUE(state_becomes(window, EngineState::running));
  window.close();
  EXPECT_FALSE(window.isVisible());
  EXPECT_EQ(closed.count(), 0);
  EXPECT_EQ(window.engine().state(), EngineState::running);
  tray.show_action()->trigger();
  EXPECT_TRUE(window.isVisible());
  window.close();

  QSignalSpy notified(&tray, &app::TrayController::notified);
  tray.quit_action()->trigger();
  EXPECT_EQ(closed.count(), 1);
  EXPECT_FALSE(window.engine().core().isRunning()) << "quitting waits for the engine thread";
  EXPECT_FALSE(diverters.wait_for(0)->is_open());
  EXPECT_EQ(settings.enabled(), true) << "quitting is not switching off";
  EXPECT_EQ(tray.state(), TrayState::stopped);
  EXPECT_EQ(notified.count(), 0) << "a quit is no failure";
  EXPECT_EQ(asked, 0);
}

// Stands in for the system's record of the start at log-on.
class FakeAutostart : public app::Autostart {
 public:
  bool is_enabled() override { return on; }
  app::AutostartResult enable() override {
    ++changes;
    if (fail) return {false, "设置开机自动启动失败: 拒绝访问"};
    on = true;
    return {true, "已设置开机自动启动"};
  }
  app::AutostartResult disable() override {
    ++changes;
    on = false;
    return {true, "已取消开机自动启动"};
  }
  std::atomic<bool> on{false};
  std::atomic<bool> fail{false};
  std::atomic<int> changes{0};
};

TEST_F(TrayTest, TheDesktopPanelSwitchesTheStartAtLogOnAndShowsWhatTheSystemHolds) {
  auto autostart = std::make_shared<FakeAutostart>();
  autostart->on = true;
  app::DesktopPanel panel(settings, autostart, true);
  QSignalSpy updated(&panel, &app::DesktopPanel::updated);
  EXPECT_FALSE(panel.autostart_box()->isEnabled()) << "not before the system has been asked";
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_TRUE(panel.autostart_box()->isChecked());

  panel.autostart_box()->click();
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_FALSE(autostart->on);
  EXPECT_FALSE(panel.autostart_box()->isChecked());
  EXPECT_EQ(panel.status_label()->text(), "已取消开机自动启动");

  autostart->fail = true;
  panel.autostart_box()->click();
  ASSERT_TRUE(updated.wait(WAIT_MS));
  EXPECT_FALSE(panel.autostart_box()->isChecked()) << "shows what the system holds, not what was clicked";
  EXPECT_EQ(panel.status_label()->text(), "设置开机自动启动失败: 拒绝访问");
  EXPECT_EQ(panel.status_label()->styleSheet(), ui::STATUS_STYLE_ERROR);
  EXPECT_EQ(autostart->changes, 2);
}

TEST_F(TrayTest, TheCloseChoiceIsASettingThatNeedsATray) {
  settings.set(app::CLOSE_TO_TRAY_KEY, nullptr);
  auto autostart = std::make_shared<FakeAutostart>();
  app::DesktopPanel with_tray(settings, autostart, true);
  EXPECT_FALSE(with_tray.close_to_tray_box()->isChecked()) << "off until chosen";
  with_tray.close_to_tray_box()->click();
  EXPECT_EQ(settings.get(app::CLOSE_TO_TRAY_KEY), true);
  with_tray.show_close_to_tray(false);
  EXPECT_FALSE(with_tray.close_to_tray_box()->isChecked());
  EXPECT_EQ(settings.get(app::CLOSE_TO_TRAY_KEY), true) << "showing a choice taken elsewhere does not store it again";

  app::DesktopPanel without_tray(settings, autostart, false);
  EXPECT_FALSE(without_tray.close_to_tray_box()->isEnabled());
  EXPECT_FALSE(without_tray.close_to_tray_box()->isChecked());
}

TEST_F(TrayTest, TheCloseQuestionAndTheWindowShowTheirButtonsWhole) {
  app::MainWindow window(settings, fake_engine());
  window.add_panel(new app::DesktopPanel(settings, std::make_shared<FakeAutostart>(), true), "启动与托盘");
  window.show();
  for (int tab = 0; tab < window.tabs()->count(); ++tab) {
    window.tabs()->setCurrentIndex(tab);
    QApplication::processEvents();
    EXPECT_THAT(buttons_cut_off(window), IsEmpty()) << window.tabs()->tabText(tab).toStdString();
  }
  std::unique_ptr<QMessageBox> question(app::make_close_question(&window));
  question->show();
  QApplication::processEvents();
  EXPECT_THAT(buttons_cut_off(*question), IsEmpty());
  window.close();
}

}  // namespace
}  // namespace tovix::testing
