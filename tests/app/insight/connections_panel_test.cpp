#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTableView>
#include <QTest>

#include "app/insight/connections_model.h"
#include "app/insight/connections_panel.h"

namespace tovix::insight {
namespace {

ConnectionSample sample(int port, std::string program, std::uint64_t down, double started_at = 100.0) {
  return {port, 7, std::move(program), "10.9.8.7:443", "proxy.example", 10, down, started_at};
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

}  // namespace
}  // namespace tovix::insight
