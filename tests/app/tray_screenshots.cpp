// Not a test: renders the tray icon, its menu and its notifications for a person to look at. Run
// under a real X server (xvfb-run -a build/debug/bin/app_tray_screenshots OUTPUT_DIR); it starts
// trayer as the tray host (a bare X server has none) and the engine on a fake diverter with a
// loopback microsocks as its proxy.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <filesystem>
#include <iostream>

#include "app/autostart/xdg_autostart_linux.h"
#include "app/core/proxy_text.h"
#include "app/window/desktop_panel.h"
#include "app/window/engine_bar.h"
#include "app/window/main_window.h"
#include "app/window/tray_controller.h"
#include "config/settings_store.h"
#include "engine/divert/fake_diverter.h"
#include "tests/support/child_process.h"
#include "tests/support/proxy_fixtures.h"
#include "tests/support/temp_dir.h"

using namespace tovix;
using namespace tovix::testing;
using Json = nlohmann::ordered_json;

namespace {

constexpr int WAIT_MS = 30000;

// The whole screen: the tray host, the menu and the balloon are windows of their own.
void save_screen(const std::filesystem::path& file) {
  QTest::qWait(500);  // only pictures: a pause for the last repaint is enough
  QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromStdString(file.string()));
  std::cout << "saved " << file << std::endl;
}

bool engine_becomes(app::MainWindow& window, app::EngineState state) {
  return QTest::qWaitFor([&] { return window.engine().state() == state; }, WAIT_MS);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: app_tray_screenshots OUTPUT_DIR\n";
    return 2;
  }
  const std::filesystem::path out = argv[1];
  std::filesystem::create_directories(out);
  QApplication app(argc, argv);
  ChildProcess host({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "160",
                     "--height", "32", "--SetDockType", "true", "--transparent", "false", "--tint", "0x313244"});
  if (!QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, WAIT_MS)) {
    std::cerr << "no system tray appeared (is trayer installed?)\n";
    return 1;
  }

  {
    // The icons of every state, large enough to see the state dot.
    const app::TrayState states[] = {app::TrayState::stopped, app::TrayState::starting, app::TrayState::running,
                                     app::TrayState::error};
    QImage sheet(4 * 72 + 8, 80, QImage::Format_ARGB32);
    sheet.fill(QColor("#dcdcdc"));
    QPainter painter(&sheet);
    for (int i = 0; i < 4; ++i) painter.drawPixmap(8 + i * 72, 8, app::tray_icon(states[i]).pixmap(64, 64));
    painter.end();
    sheet.save(QString::fromStdString((out / "tray_icons.png").string()));
  }

  TempDir dir;
  MicrosocksProxy proxy;
  SettingsStore& settings = SettingsStore::_instance_at(dir / "config.json");
  settings.set_proxy_list(
      Json::array({app::make_proxy_entry("socks5", "127.0.0.1", proxy.port(), PROXY_USER, PROXY_PASSWORD)}));
  EngineOptions options;
  options.diverter_factory = [] { return std::make_unique<FakeDiverter>(); };
  app::MainWindow window(settings, std::move(options));
  app::TrayController tray(window, settings);
  tray.show_window(true);  // as started at log-on: the tray only
  save_screen(out / "tray_stopped.png");

  window.start_engine();
  if (!engine_becomes(window, app::EngineState::running)) {
    std::cerr << "the engine did not start: " << window.engine_bar()->error_label()->text().toStdString() << '\n';
    return 1;
  }
  window.engine_bar()->refresh_traffic();
  const QRect icon = tray.icon().geometry();
  std::cout << "tray icon at " << icon.x() << "," << icon.y() << " " << icon.width() << "x" << icon.height()
            << "; tooltip:\n"
            << tray.icon().toolTip().toStdString() << std::endl;
  tray.menu()->popup(icon.bottomLeft() + QPoint(-100, 4));
  save_screen(out / "tray_menu_running.png");
  tray.menu()->hide();

  tray.notify_proxy_failure(
      QStringLiteral("代理 127.0.0.1:%1 连接失败: user name or password rejected").arg(proxy.port()));
  save_screen(out / "tray_notification_proxy.png");

  window.stop_engine();
  (void)engine_becomes(window, app::EngineState::stopped);
  settings.set_proxy_list(Json::array());
  window.start_engine();
  (void)QTest::qWaitFor([&] { return tray.state() == app::TrayState::error; }, WAIT_MS);
  save_screen(out / "tray_notification_engine_error.png");
  tray.menu()->popup(icon.bottomLeft() + QPoint(-100, 4));
  save_screen(out / "tray_menu_error.png");
  tray.menu()->hide();

  // The tab, with the start at log-on switched on (into a folder of this run).
  auto* desktop = new app::DesktopPanel(
      settings, std::make_shared<app::XdgAutostart>(app::autostart_command(argv[0], std::nullopt), dir / "autostart"),
      true);
  window.add_panel(desktop, QStringLiteral("启动与托盘"));
  window.tabs()->setCurrentIndex(window.tabs()->count() - 1);
  window.resize(900, 640);
  window.show();
  QSignalSpy updated(desktop, &app::DesktopPanel::updated);
  (void)QTest::qWaitFor([&] { return desktop->autostart_box()->isEnabled(); }, WAIT_MS);
  desktop->autostart_box()->click();
  (void)updated.wait(WAIT_MS);
  save_screen(out / "desktop_tab.png");

  QMessageBox* question = app::make_close_question(&window);
  question->show();
  save_screen(out / "close_question.png");
  question->deleteLater();
  window.quit();
  return 0;
}
