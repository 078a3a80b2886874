// Not a test: renders the insight tabs with live engine data for a person to look at. Run as
// root under a real X server (xvfb-run -a build/debug/bin/insight_screenshots OUTPUT_DIR
// [global]): the proxy check of a good proxy without UDP, one with UDP (dante), one with a wrong
// password and one that is not listening; then the engine on the real Linux backend in a network
// namespace carrying curl loops through three proxies (long downloads over a link shaped with
// tc, and downloads given up after a few seconds, whose rows fade) and a program's UDP through
// dante; last, a proxy with a wrong password joins the running engine and its failure shows in
// the status.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <csignal>
#include <iostream>

#include "app/core/proxy_text.h"
#include "app/insight/connections_panel.h"
#include "app/insight/failure_status_feed.h"
#include "app/insight/proxy_check_panel.h"
#include "app/insight/traffic_panel.h"
#include "app/insight/window_insight.h"
#include "app/window/engine_bar.h"
#include "app/window/main_window.h"
#include "app/window/proxy_list_panel.h"
#include "common/text.h"
#include "config/settings_store.h"
#include "tests/support/http_destination.h"
#include "tests/support/loopback_server.h"
#include "tests/support/netns_fixture.h"
#include "tests/support/proxy_fixtures.h"
#include "tests/support/screenshot_run.h"
#include "tests/support/temp_dir.h"
#include "tests/support/udp_echo.h"
#include "tests/support/udp_fixtures.h"

using namespace tovix;
using namespace tovix::testing;
using Json = nlohmann::ordered_json;

namespace {

constexpr int WAIT_MS = 30000;
// The UDP echo's own address: UDP to a proxy's address is never diverted.
constexpr const char* UDP_ECHO_IP = "198.18.0.3";

// Lets the engine and the curl loops run for `seconds`, the panels refreshing on their timers.
void run_for(int seconds) {
  std::cout << "running " << seconds << " s" << std::endl;
  QTest::qWait(seconds * 1000);
}

// Downloads one after the other, each given up after `max_seconds` (0: never).
std::vector<std::string> curl_loop(const std::filesystem::path& curl, const std::string& url,
                                   const std::string& max_seconds, const std::string& pause) {
  return {"sh", "-c",
          "while :; do '" + curl.string() + "' -s -o /dev/null -m " + max_seconds + " '" + url + "'; sleep " + pause +
              "; done"};
}

// The remote end of the link sends at `rate` (tc's units, "24mbit"): downloads then run at a
// steady pace instead of curl's own rate limit, which bursts by whole socket buffers.
void shape_link(const NetnsPair& pair, const char* verb, const std::string& rate) {
  NetnsPair::run_ok(pair.remote(), {"tc", "qdisc", verb, "dev", "inside", "root", "tbf", "rate", rate, "burst", "64kb",
                                    "latency", "200ms"});
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path out;
  if (const int code = prepare_screenshot_run(argc, argv, "insight_screenshots", out); code != 0) return code;
  const bool global_mode = argc > 2 && std::string_view(argv[2]) == "global";
  NetnsPair pair;
  std::unique_ptr<HttpDestination> destination;
  std::unique_ptr<LoopbackServer> what_is_my_ip;
  std::unique_ptr<UdpEchoServer> udp_echo;
  pair.add_remote_address(UDP_ECHO_IP);
  {
    NetnsScope remote(pair.remote());
    udp_echo = std::make_unique<UdpEchoServer>(UDP_ECHO_IP);
    destination = std::make_unique<HttpDestination>("0.0.0.0", std::make_shared<const std::string>(40u << 20, 'x'));
    // The proxies run in the remote namespace too: the address they give is the remote one.
    what_is_my_ip = std::make_unique<LoopbackServer>(
        answer_after_request_head("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" +
                                  std::string(NetnsPair::REMOTE_IP) + "\n"),
        "0.0.0.0");
  }
  TempDir dir;
  auto start_microsocks = [&](const char* name) {
    const int port = free_port_in(pair.remote());
    auto process = std::make_unique<NetnsProcess>(
        pair.remote(),
        std::vector<std::string>{"microsocks", "-i", "0.0.0.0", "-p", std::to_string(port), "-u", PROXY_USER, "-P",
                                 PROXY_PASSWORD},
        dir / name);
    wait_until_accepting_in(pair.remote(), NetnsPair::REMOTE_IP, port);
    return std::make_pair(port, std::move(process));
  };
  auto [port_a, socks_a] = start_microsocks("socks_a.out");
  auto [port_b, socks_b] = start_microsocks("socks_b.out");
  const int dante_port = free_port_in(pair.remote());
  const auto dante = start_dante_in(pair.remote(), NetnsPair::REMOTE_IP, dante_port, dir.path(), pair.client());
  const Json with_udp = app::make_proxy_entry("socks5", NetnsPair::REMOTE_IP, dante_port, "", "");
  const int nobody = free_port_in(pair.remote());
  const Json good_a = app::make_proxy_entry("socks5", NetnsPair::REMOTE_IP, port_a, PROXY_USER, PROXY_PASSWORD);
  const Json good_b = app::make_proxy_entry("socks5", NetnsPair::REMOTE_IP, port_b, PROXY_USER, PROXY_PASSWORD);
  const Json wrong_password = app::make_proxy_entry("socks5", NetnsPair::REMOTE_IP, port_a, "expired", "old-pass");
  const Json not_listening = app::make_proxy_entry("socks5", NetnsPair::REMOTE_IP, nobody, PROXY_USER, PROXY_PASSWORD);

  NetnsScope client(pair.client());
  QApplication app(argc, argv);
  SettingsStore& settings = SettingsStore::_instance_at(dir / "config.json");
  settings.set_proxy_list(Json::array({good_a, with_udp, wrong_password, not_listening}));
  // Chosen by name, so each connection's program is known and each curl gets a relay of its own.
  // The names are Windows image names: curl runs under the name a Windows user would choose.
  // With "global" after the folder, nothing is chosen: the table names the programs itself.
  const std::filesystem::path curl = dir / "curl.exe";
  std::filesystem::copy_file("/usr/bin/curl", curl);
  // A program sending UDP on one socket, its answers left unread.
  const std::filesystem::path udp_app = dir / "udp_app.exe";
  std::filesystem::copy_file("/usr/bin/bash", udp_app);
  if (!global_mode) {
    settings.set_process_list(Json::array({"curl.exe", "udp_app.exe"}));
    settings.set("pid_mode", true);  // each curl on the next proxy in turn
  }
  insight::FailureStatusFeed failures;
  EngineOptions options;
  options.upstream_observer = failures.observer();
  app::MainWindow window(settings, std::move(options));
  const std::string ip_url =
      "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(what_is_my_ip->port()) + "/";
  const insight::InsightPanels panels = insight::install_insight(
      window, settings, failures,
      {{ip_url, [](std::string_view body) { return std::optional<std::string>(strip_whitespace(body)); }}});
  window.resize(1000, 720);
  window.show();

  // The proxy check: the three proxies at once.
  auto tab_of = [&](QWidget* panel) {
    for (int index = 0; index < window.tabs()->count(); ++index) {
      if (window.tabs()->widget(index)->isAncestorOf(panel)) return index;
    }
    return 0;
  };
  window.tabs()->setCurrentIndex(tab_of(panels.checks));
  panels.checks->check_all_button()->click();
  const bool checked = QTest::qWaitFor(
      [&] {
        for (int row = 0; row < panels.checks->table()->rowCount(); ++row) {
          if (!panels.checks->check_button(row)->isEnabled()) return false;
        }
        return true;
      },
      WAIT_MS);
  if (!checked) std::cerr << "the checks did not end in time" << std::endl;
  save_screenshot(window, out / "proxy_check_tab.png");
  window.tabs()->setCurrentIndex(0);
  save_screenshot(window, out / "proxy_list_marked.png");

  // Live traffic through the two good proxies.
  window.proxy_panel()->table()->selectRow(3);
  window.proxy_panel()->remove_button()->click();
  window.proxy_panel()->table()->selectRow(2);
  window.proxy_panel()->remove_button()->click();
  window.proxy_panel()->add_entries(Json::array({good_b}));
  window.tabs()->setCurrentIndex(tab_of(panels.connections));
  std::vector<std::unique_ptr<NetnsProcess>> loops;
  auto add_loop = [&](const std::string& path, const std::string& max_seconds, const std::string& pause) {
    const std::string url =
        "http://" + std::string(NetnsPair::REMOTE_IP) + ":" + std::to_string(destination->port()) + path;
    loops.push_back(std::make_unique<NetnsProcess>(pair.client(), curl_loop(curl, url, max_seconds, pause),
                                                   dir / ("curl" + std::to_string(loops.size()) + ".out")));
  };
  shape_link(pair, "add", "24mbit");
  add_loop("/data", "0", "0");
  // A chosen application is running when the engine starts: it diverts by process (in global
  // mode, everything).
  (void)QTest::qWaitFor([&] { return !destination->peers().empty(); }, WAIT_MS);
  window.start_engine();
  if (!QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::running; }, WAIT_MS)) {
    std::cerr << "the engine did not start" << std::endl;
    return 1;
  }
  loops.push_back(std::make_unique<NetnsProcess>(
      pair.client(),
      std::vector<std::string>{udp_app.string(), "-c",
                               "exec 3<>/dev/udp/" + std::string(UDP_ECHO_IP) + "/" +
                                   std::to_string(udp_echo->address().second) +
                                   "; while :; do printf '%1200s' x >&3; sleep 0.2; done"},
      dir / "udp_app.out"));
  run_for(40);
  shape_link(pair, "change", "64mbit");
  add_loop("/data", "0", "2");
  add_loop("/data", "3", "1");  // connections that end every few seconds: their rows fade
  add_loop("/data?close", "0", "3");
  run_for(50);
  loops.front()->stop(SIGKILL);  // the first download ends: its row fades
  shape_link(pair, "change", "40mbit");
  run_for(25);
  loops.erase(loops.begin());
  add_loop("/data", "0", "0");
  run_for(30);
  save_screenshot(window, out / "connections_and_traffic_tab.png");
  save_screenshot(*panels.connections, out / "connections_table.png");
  save_screenshot(*panels.traffic, out / "traffic_graph_all.png");
  panels.traffic->series_choice()->setCurrentIndex(1);
  save_screenshot(*panels.traffic, out / "traffic_graph_one_proxy.png");
  panels.traffic->series_choice()->setCurrentIndex(0);

  // An expired proxy joins the running engine: its failure shows once in the status.
  window.proxy_panel()->add_entries(Json::array({wrong_password}));
  const bool told = QTest::qWaitFor(
      [&] { return window.engine_bar()->error_label()->text().contains(QStringLiteral("连接失败")); }, WAIT_MS);
  if (!told) std::cerr << "no failure notice in the status" << std::endl;
  save_screenshot(window, out / "failure_notice_in_status.png");

  for (auto& loop : loops) loop->stop(SIGKILL);
  window.stop_engine();
  (void)QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::stopped; }, WAIT_MS);
  window.close();
  return 0;
}
