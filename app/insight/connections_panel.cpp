#include "app/insight/connections_panel.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTimer>

#include "app/insight/connections_model.h"
#include "app/insight/panel_layout.h"
#include "app/insight/panel_style.h"

namespace tovix::insight {

ConnectionsPanel::ConnectionsPanel(SnapshotSource source, std::function<double()> wall_clock, QWidget* parent)
    : QWidget(parent),
      _source(std::move(source)),
      _model(new ConnectionsModel(std::move(wall_clock), this)),
      _sorted(new QSortFilterProxyModel(this)),
      _table(new QTableView(this)),
      _filter(new QLineEdit(this)),
      _count(new QLabel(this)),
      _timer(new QTimer(this)) {
  setStyleSheet(PANEL_STYLE);
  _sorted->setSourceModel(_model);
  _sorted->setSortRole(ConnectionsModel::SORT_ROLE);
  _sorted->setFilterKeyColumn(ConnectionsModel::PROGRAM);
  _sorted->setFilterCaseSensitivity(Qt::CaseInsensitive);

  _table->setModel(_sorted);
  _table->setSortingEnabled(true);
  _table->sortByColumn(ConnectionsModel::DURATION, Qt::AscendingOrder);
  _table->setSelectionBehavior(QAbstractItemView::SelectRows);
  _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  _table->setAlternatingRowColors(false);
  _table->setShowGrid(false);
  _table->verticalHeader()->hide();
  _table->verticalHeader()->setDefaultSectionSize(24);
  QHeaderView* header = _table->horizontalHeader();
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setSectionResizeMode(ConnectionsModel::DESTINATION, QHeaderView::Stretch);
  header->resizeSection(ConnectionsModel::PROGRAM, 120);
  header->resizeSection(ConnectionsModel::PROTOCOL, 50);
  header->resizeSection(ConnectionsModel::PROXY, 130);
  header->resizeSection(ConnectionsModel::RULE, 90);
  for (int column : {ConnectionsModel::UPLOAD, ConnectionsModel::DOWNLOAD}) header->resizeSection(column, 75);
  header->resizeSection(ConnectionsModel::DURATION, 70);

  _filter->setPlaceholderText(QStringLiteral("按程序筛选"));
  _filter->setClearButtonEnabled(true);
  connect(_filter, &QLineEdit::textChanged, this, [this](const QString& text) {
    _sorted->setFilterFixedString(text.trimmed());
    _update_count();
  });

  lay_out_panel(*this, QStringLiteral("实时连接"), {_count, _filter}, _table);

  _timer->setInterval(REFRESH_MS);
  connect(_timer, &QTimer::timeout, this, &ConnectionsPanel::refresh);
  _timer->start();
  _update_count();
}

void ConnectionsPanel::refresh() {
  std::vector<ConnectionSample> live;
  if (_source) {
    try {
      live = _source();
    } catch (const std::exception&) {
      // A failing snapshot shows as no connections; the next second tries again.
    }
  }
  _model->refresh(live);
  _update_count();
}

QAbstractItemModel* ConnectionsPanel::rows() const { return _sorted; }

void ConnectionsPanel::_update_count() {
  _count->setText(QStringLiteral("%1 / %2 个连接").arg(_sorted->rowCount()).arg(_model->rowCount()));
}

}  // namespace tovix::insight
