#pragma once
// The live-connections table's model: the ledger's rows, changed in place on each refresh (so
// sorting, selection and scrolling survive), finished rows drawn fading.
#include <QAbstractTableModel>

#include <functional>
#include <vector>

#include "app/insight/app_insight_export.h"
#include "app/insight/connection_ledger.h"

namespace tovix::insight {

class APP_INSIGHT_EXPORT ConnectionsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { PROGRAM, PROTOCOL, DESTINATION, PROXY, RULE, UPLOAD, DOWNLOAD, DURATION, COLUMN_COUNT };
  // Numbers for the number columns, so sorting goes by value, not by text.
  static constexpr int SORT_ROLE = Qt::UserRole;

  explicit ConnectionsModel(std::function<double()> wall_clock, QObject* parent = nullptr);

  void refresh(const std::vector<ConnectionSample>& live);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

 private:
  ConnectionLedger _ledger;
  std::vector<LedgerRow> _rows;  // what the views were told of
};

}  // namespace tovix::insight
