// Not a test: renders the main window in its main states for a person to look at. Run as root
// under a real X server (xvfb-run -a build/debug/bin/app_window_screenshots OUTPUT_DIR): the
// engine runs on the real Linux backend in a network namespace, with a curl loop through it.
#include <QApplication>
#include <QTabWidget>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <QPushButton>
#include <QTableWidget>
#include "app/window/engine_bar.h"
#include "app/window/main_window.h"
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
  app::MainWindow window(settings);
  window.resize(900, 640);
  window.show();
  save_screenshot(window, out / "stopped_two_proxies.png");

  {
    app::ProxyEditDialog edit(settings.proxy_list()[0], &window);
    edit.show();
    save_screenshot(edit, out / "proxy_edit_dialog.png");
    app::ProcessPickerDialog picker(app::ProcessPickerDialog::Source::running_processes, &window);
    picker.show();
    (void)QTest::qWaitFor([&] { return !picker.is_loading(); }, 30000);
    save_screenshot(picker, out / "process_picker.png");
  }
  // Only the first proxy is reachable in the namespace: run on it alone.
  window.proxy_panel()->table()->selectRow(1);
  window.proxy_panel()->remove_button()->click();
  window.start_engine();
  (void)QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::running; }, 30000);
  const std::string url =
      "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(destination->port()) + "/data";
  NetnsProcess traffic(pair.client(),
                       {"sh", "-c", "while :; do curl -s -o /dev/null --limit-rate 1M " + url + "; done"},
                       dir / "curl.out");
  QTest::qWait(4000);
  save_screenshot(window, out / "running_with_traffic.png");
  window.tabs()->setCurrentIndex(1);
  save_screenshot(window, out / "running_applications_tab.png");
  window.tabs()->setCurrentIndex(2);
  save_screenshot(window, out / "running_driver_tab.png");
  window.tabs()->setCurrentIndex(3);
  save_screenshot(window, out / "running_account_tab.png");
  traffic.stop(SIGKILL);
  window.stop_engine();
  (void)QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::stopped; }, 30000);
  window.tabs()->setCurrentIndex(0);
  save_screenshot(window, out / "stopped_after_run.png");
  window.close();
  return 0;
}
