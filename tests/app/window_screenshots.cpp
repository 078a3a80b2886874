// Not a test: renders the main window in its main states for a person to look at. Run as root
// under a real X server (xvfb-run -a build/debug/bin/app_window_screenshots OUTPUT_DIR): the
// engine runs on the real Linux backend in a network namespace, with a curl loop through it.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <csignal>
#include <iostream>

#include "app/insight/failure_status_feed.h"
#include "app/insight/window_insight.h"
#include "app/window/api_mode_panel.h"
#include "app/window/engine_bar.h"
#include "app/window/main_window.h"
#include "app/window/process_list_panel.h"
#include "app/window/process_picker_dialog.h"
#include "app/window/proxy_edit_dialog.h"
#include "app/window/proxy_list_panel.h"
#include "config/settings_store.h"
#include "tests/support/http_destination.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"
#include "tests/support/screenshot_run.h"
#include "tests/support/temp_dir.h"

using namespace tovix;
using namespace tovix::testing;
using Json = nlohmann::ordered_json;

namespace {

constexpr int WAIT_MS = 30000;

void settle() { QTest::qWait(300); }

// What the X server shows over the window, pop-ups included.
void save_screen(QWidget& window, const std::filesystem::path& file) {
  settle();
  const QRect area = window.frameGeometry();
  window.screen()
      ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
      .save(QString::fromStdString(file.string()));
  std::cout << "saved " << file << std::endl;
}

void save_tabs(app::MainWindow& window, const std::filesystem::path& out, const std::string& prefix) {
  for (int i = 1; i < window.tabs()->count(); ++i) {
    window.tabs()->setCurrentIndex(i);
    std::cout << window.tabs()->tabText(i).toStdString() << ": ";
    save_screenshot(window, out / (prefix + "_tab" + std::to_string(i) + ".png"));
  }
  window.tabs()->setCurrentIndex(0);
}

bool rate_shown(app::EngineBar& bar) { return !bar.download_label()->text().endsWith(" 0 B/s"); }

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path out;
  if (const int code = prepare_screenshot_run(argc, argv, "app_window_screenshots", out); code != 0) return code;
  NetnsPair pair;
  std::unique_ptr<HttpDestination> destination;
  {
    NetnsScope remote(pair.remote());
    destination = std::make_unique<HttpDestination>("0.0.0.0", std::make_shared<const std::string>(8u << 20, 'x'));
  }
  TempDir dir;
  const int proxy_port = free_port_in(pair.remote());
  NetnsProcess proxy(
      pair.remote(),
      {"microsocks", "-i", "0.0.0.0", "-p", std::to_string(proxy_port), "-u", PROXY_USER, "-P", PROXY_PASSWORD},
      dir / "microsocks.out");
  wait_until_accepting_in(pair.remote(), NetnsPair::REMOTE_IP, proxy_port);

  NetnsScope client(pair.client());
  QApplication app(argc, argv);
  SettingsStore& settings = SettingsStore::_instance_at(dir / "config.json");
  settings.set_proxy_list(Json::array(
      {{{"type", "socks5"},
        {"host", NetnsPair::REMOTE_IP},
        {"port", proxy_port},
        {"username", PROXY_USER},
        {"password", PROXY_PASSWORD}},
       {{"type", "http"}, {"host", "proxy.example.com"}, {"port", 3128}, {"username", "office"}, {"password", ""}}}));
  settings.set_process_list(Json::array());
  // As the application assembles it: the insight tabs join the window's own.
  insight::FailureStatusFeed failures;
  EngineOptions options;
  options.upstream_observer = failures.observer();
  app::MainWindow window(settings, std::move(options));
  insight::install_insight(window, settings, failures, {});
  window.resize(900, 640);
  window.show();
  save_screenshot(window, out / "stopped_two_proxies.png");

  // The API mode's proxy type, its list open.
  QComboBox* type = window.api_panel()->type_box();
  type->showPopup();
  save_screen(window, out / "combo_dropdown.png");
  type->hidePopup();
  {
    app::ProxyEditDialog edit(settings.proxy_list()[0], &window);
    edit.show();
    save_screenshot(edit, out / "proxy_edit_dialog.png");
    app::ProcessPickerDialog picker(app::ProcessPickerDialog::Source::running_processes, &window);
    picker.show();
    (void)QTest::qWaitFor([&] { return !picker.is_loading(); }, WAIT_MS);
    save_screenshot(picker, out / "process_picker.png");
  }
  // Only the first proxy is reachable in the namespace: run on it alone.
  window.proxy_panel()->table()->selectRow(1);
  window.proxy_panel()->remove_button()->click();
  window.start_engine();
  if (!QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::running; }, WAIT_MS)) {
    std::cerr << "the engine did not start: " << window.engine_bar()->error_label()->text().toStdString() << '\n';
    return 1;
  }
  const std::string url =
      "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(destination->port()) + "/data";
  NetnsProcess traffic(pair.client(),
                       {"sh", "-c", "while :; do curl -s -o /dev/null --limit-rate 1M " + url + "; done"},
                       dir / "curl.out");
  // A few refreshes into the download, so the rate has a window behind it.
  QTest::qWait(3000);
  if (!QTest::qWaitFor([&] { return rate_shown(*window.engine_bar()); }, WAIT_MS)) std::cerr << "no rate shown\n";
  save_screenshot(window, out / "running_with_traffic.png");
  window.process_panel()->add_names({"chrome.exe", "Telegram.exe"});
  save_tabs(window, out, "running");
  traffic.stop(SIGKILL);
  window.stop_engine();
  (void)QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::stopped; }, WAIT_MS);
  save_screenshot(window, out / "stopped_after_run.png");
  window.close();
  return 0;
}
