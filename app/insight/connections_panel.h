#pragma once
// The live-connections table with a program filter, refreshed once a second from the engine's
// connection snapshot. The snapshot is read on the GUI thread: it is a copy taken under the
// engine's locks, never a wait on the network.
#include <QWidget>

#include <functional>
#include <vector>

#include "app/insight/app_insight_export.h"
#include "app/insight/connection_ledger.h"

class QAbstractItemModel;
class QLabel;
class QLineEdit;
class QSortFilterProxyModel;
class QTableView;
class QTimer;

namespace tovix::insight {

class ConnectionsModel;

class APP_INSIGHT_EXPORT ConnectionsPanel : public QWidget {
  Q_OBJECT

 public:
  using SnapshotSource = std::function<std::vector<ConnectionSample>()>;
  static constexpr int REFRESH_MS = 1000;

  ConnectionsPanel(SnapshotSource source, std::function<double()> wall_clock, QWidget* parent = nullptr);

  // One refresh now; the timer calls it once a second.
  void refresh();

  QTableView* table() const { return _table; }
  QLineEdit* program_filter() const { return _filter; }
  QAbstractItemModel* rows() const;

 private:
  void _update_count();

  SnapshotSource _source;
  ConnectionsModel* _model;
  QSortFilterProxyModel* _sorted;
  QTableView* _table;
  QLineEdit* _filter;
  QLabel* _count;
  QTimer* _timer;
};

}  // namespace tovix::insight
