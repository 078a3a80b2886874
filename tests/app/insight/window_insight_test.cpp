// The insight panels as the application puts them into the main window: they join as tabs and
// the window's own engine feeds them. FakeDiverter stands in for the driver; the relays and the
// upstream microsocks are real.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

#include "app/core/proxy_text.h"
#include "app/insight/connections_model.h"
#include "app/insight/connections_panel.h"
#include "app/insight/proxy_check_panel.h"
#include "app/insight/traffic_panel.h"
#include "app/insight/window_insight.h"
#include "app/window/main_window.h"
#include "app/window/proxy_list_panel.h"
#include "tests/app/insight/diverted_connection.h"
#include "tests/app/insight/insight_window_fixture.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix::testing {
namespace {

using insight::ConnectionsModel;
constexpr int WAIT_MS = 30000;

class WindowInsightTest : public InsightWindowTest {
 protected:
  // The tab that holds `panel`, or -1.
  static int tab_of(app::MainWindow& window, QWidget* panel) {
    for (int index = 0; index < window.tabs()->count(); ++index) {
      if (window.tabs()->widget(index)->isAncestorOf(panel)) return index;
    }
    return -1;
  }

  MicrosocksProxy socks;
};

TEST_F(WindowInsightTest, TheWindowsEngineFeedsTheConnectionsAndTrafficTabs) {
  app::MainWindow window(settings, engine_options());
  const insight::InsightPanels panels = insight::install_insight(window, settings, failures, {});
  const int activity_tab = tab_of(window, panels.connections);
  ASSERT_GE(activity_tab, 0);
  EXPECT_EQ(window.tabs()->tabText(activity_tab), "连接与流量");
  EXPECT_EQ(tab_of(window, panels.traffic), activity_tab);
  const int check_tab = tab_of(window, panels.checks);
  ASSERT_GE(check_tab, 0);
  EXPECT_EQ(window.tabs()->tabText(check_tab), "代理检测");

  window.proxy_panel()->add_entries(nlohmann::ordered_json::array(
      {app::make_proxy_entry("socks5", "127.0.0.1", socks.port(), PROXY_USER, PROXY_PASSWORD)}));
  window.start_engine();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::running; }, WAIT_MS));

  // The panels refresh on their own timers: no refresh() calls from here on.
  QAbstractItemModel* rows = panels.connections->rows();
  auto cell = [&](int column) { return rows->index(0, column).data().toString(); };
  auto connection = open_diverted_connection(diverter(), echo.port(), CHROME_PID);
  connection->send_all("hello", 5);
  ASSERT_EQ(receive_up_to(*connection, 5), "hello");
  ASSERT_TRUE(
      QTest::qWaitFor([&] { return rows->rowCount() == 1 && cell(ConnectionsModel::UPLOAD) == "5 B"; }, WAIT_MS));
  EXPECT_EQ(cell(ConnectionsModel::PROGRAM), "chrome.exe");
  EXPECT_EQ(cell(ConnectionsModel::DESTINATION), "127.0.0.1:" + QString::number(echo.port()));
  EXPECT_EQ(cell(ConnectionsModel::PROXY), "127.0.0.1:" + QString::number(socks.port()));

  // The graph's rates are the growth between readings: one reading lands before the bulk.
  auto readings = [&] { return panels.traffic->history().points(insight::RateHistory::TOTAL).size(); };
  const std::size_t readings_before = readings();
  ASSERT_TRUE(QTest::qWaitFor([&] { return readings() > readings_before; }, WAIT_MS));
  const std::string bulk(4096, 'x');
  connection->send_all(bulk.data(), bulk.size());
  ASSERT_EQ(receive_up_to(*connection, bulk.size()), bulk);
  EXPECT_TRUE(QTest::qWaitFor([&] { return cell(ConnectionsModel::DOWNLOAD) == "4.00 KB"; }, WAIT_MS))
      << "bytes grow: " << cell(ConnectionsModel::DOWNLOAD).toStdString();
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        const auto points = panels.traffic->history().points(insight::RateHistory::TOTAL);
        return std::any_of(points.begin(), points.end(), [](const auto& point) { return point.download > 0.0; });
      },
      WAIT_MS))
      << "the traffic graph saw the download; points: " << [&] {
           std::string text;
           for (const auto& point : panels.traffic->history().points(insight::RateHistory::TOTAL))
             text += std::to_string(point.at) + "=" + std::to_string(point.download) + " ";
           return text + " totals " + std::to_string(window.engine().traffic().second);
         }();

  connection->close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return rows->index(0, 0).data(Qt::ForegroundRole).value<QColor>().alphaF() < 1.0; },
                              WAIT_MS))
      << "the ended connection fades";
  window.stop_engine();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window.engine().state() == app::EngineState::stopped; }, WAIT_MS));
}

}  // namespace
}  // namespace tovix::testing
