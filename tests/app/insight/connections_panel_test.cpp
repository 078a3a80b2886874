#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTableView>
#include <QTest>

#include "app/insight/connections_model.h"
#include "app/insight/connections_panel.h"
#include "app/insight/program_resolver.h"
#include "tests/engine/process/process_queries_fake.h"

namespace tovix::insight {
namespace {

ConnectionSample sample(int port, std::string program, std::uint64_t down, double started_at = 100.0) {
  return {port, 7, std::move(program), "10.9.8.7:443", "proxy.example", 10, down, started_at, {}, {}};
}

class ConnectionsPanelTest : public ::testing::Test {
 protected:
  QString cell(int row, int column) const { return panel.rows()->index(row, column).data().toString(); }
  QStringList column(int column) const {
    QStringList values;
    for (int row = 0; row < panel.rows()->rowCount(); ++row) values << cell(row, column);
    return values;
  }

  double now = 110.0;
  std::vector<ConnectionSample> live;
  ConnectionsPanel panel{[this] { return live; }, [this] { return now; }};
};

TEST_F(ConnectionsPanelTest, SortsByValueAndFiltersByProgram) {
  live = {sample(1, "chrome.exe", 2048), sample(2, "curl.exe", 900), sample(3, "Chrome.exe", 5 * 1024 * 1024)};
  panel.refresh();
  panel.table()->sortByColumn(ConnectionsModel::DOWNLOAD, Qt::DescendingOrder);
  EXPECT_EQ(column(ConnectionsModel::DOWNLOAD), (QStringList{"5.00 MB", "2.00 KB", "900 B"}))
      << "900 B sorts below 2 KB although its text is larger";
  EXPECT_EQ(cell(0, ConnectionsModel::DURATION), "0:10");

  QTest::keyClicks(panel.program_filter(), "chrome");
  EXPECT_EQ(column(ConnectionsModel::PROGRAM), (QStringList{"Chrome.exe", "chrome.exe"}));
  live.push_back(sample(4, "chrome.exe", 1));
  panel.refresh();
  EXPECT_EQ(panel.rows()->rowCount(), 3) << "the filter holds for rows that arrive later";
}

TEST_F(ConnectionsPanelTest, ShowsTheNameBesideTheAddressAndTheRuleOnceTheRelayKnowsThem) {
  live = {sample(1, "curl.exe", 0)};
  panel.refresh();
  EXPECT_EQ(cell(0, ConnectionsModel::DESTINATION), "10.9.8.7:443");
  EXPECT_EQ(cell(0, ConnectionsModel::RULE), "默认");
  EXPECT_EQ(cell(0, ConnectionsModel::PROTOCOL), "TCP");
  // The name is read and the way chosen after the connection was first listed.
  live[0].host_name = "www.example.com";
  live[0].rule = "规则 2：游戏直连";
  panel.refresh();
  EXPECT_EQ(cell(0, ConnectionsModel::DESTINATION), "www.example.com (10.9.8.7:443)");
  EXPECT_EQ(cell(0, ConnectionsModel::RULE), "规则 2：游戏直连");

  // A program's UDP socket carried through the proxy, on the same client port.
  live.push_back(sample(1, "curl.exe", 0, 105.0));
  live[1].udp = true;
  panel.refresh();
  ASSERT_EQ(panel.rows()->rowCount(), 2);
  EXPECT_EQ(column(ConnectionsModel::PROTOCOL), (QStringList{"UDP", "TCP"})) << "the shorter first";
}

TEST_F(ConnectionsPanelTest, KeepsTheSelectionWhileCountsChangeAndFadesFinishedRows) {
  live = {sample(1, "a.exe", 1), sample(2, "b.exe", 2)};
  panel.refresh();
  panel.table()->sortByColumn(ConnectionsModel::PROGRAM, Qt::AscendingOrder);
  panel.table()->selectRow(1);
  live[1].download = 4096;
  now += 1.0;
  panel.refresh();
  const QModelIndexList selected = panel.table()->selectionModel()->selectedRows();
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(selected[0].data().toString(), "b.exe");
  EXPECT_EQ(cell(1, ConnectionsModel::DOWNLOAD), "4.00 KB");

  live.erase(live.begin());
  now += 1.0;
  panel.refresh();
  ASSERT_EQ(panel.rows()->rowCount(), 2);
  const auto alpha = [&](int row) {
    return panel.rows()->index(row, 0).data(Qt::ForegroundRole).value<QColor>().alphaF();
  };
  EXPECT_LT(alpha(0), alpha(1)) << "the finished row is drawn fainter";
  now += 10.0;
  panel.refresh();
  EXPECT_EQ(column(ConnectionsModel::PROGRAM), QStringList{"b.exe"});
}

TEST(ConnectionsPanelProgramsTest, FilterFindsProgramsNamedAfterTheEngineLeftThemUnknown) {
  auto queries = std::make_shared<testing::FakeProcessQueries>();
  queries->add_process(4100, "curl.exe");
  queries->add_process(4200, "chrome.exe");
  queries->set_connections({testing::connection(50001, 4100), testing::connection(50002, 4200)});
  ProgramResolver resolver(queries);
  // Global mode: the engine reports neither owner nor name.
  std::vector<ConnectionSample> live = {sample(50001, "", 1), sample(50002, "", 2)};
  for (ConnectionSample& connection : live) connection.pid = 0;
  ConnectionsPanel panel(
      [&] {
        std::vector<ConnectionSample> named = live;
        resolver.fill_in(named);
        return named;
      },
      [] { return 110.0; });

  QTest::keyClicks(panel.program_filter(), "CURL");
  panel.refresh();
  EXPECT_EQ(panel.rows()->rowCount(), 0) << "still unknown while the look-up runs";
  ASSERT_TRUE(resolver.wait_idle(std::chrono::seconds(10)));
  panel.refresh();
  ASSERT_EQ(panel.rows()->rowCount(), 1);
  EXPECT_EQ(panel.rows()->index(0, ConnectionsModel::PROGRAM).data().toString(), "curl.exe");
  EXPECT_EQ(panel.rows()->index(0, ConnectionsModel::PROGRAM).data(Qt::ToolTipRole).toString(), "PID 4100");
  panel.program_filter()->clear();
  EXPECT_EQ(panel.rows()->rowCount(), 2);
}

}  // namespace
}  // namespace tovix::insight
