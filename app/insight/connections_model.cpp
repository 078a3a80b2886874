#include "app/insight/connections_model.h"

#include <QColor>

#include <set>

#include "app/insight/duration_text.h"
#include "common/text.h"

namespace tovix::insight {
namespace {

const QColor TEXT_COLOR("#cdd6f4");

QString program_of(const ConnectionSample& connection) {
  if (!connection.program.empty()) return QString::fromStdString(connection.program);
  return connection.pid != 0 ? QStringLiteral("PID %1").arg(connection.pid) : QStringLiteral("未知程序");
}

// The name the connection asked for beside the address it went to.
QString destination_of(const ConnectionSample& connection) {
  const QString address = QString::fromStdString(connection.destination);
  if (connection.host_name.empty()) return address;
  return QString::fromStdString(connection.host_name) + QStringLiteral(" (") + address + QStringLiteral(")");
}

}  // namespace

ConnectionsModel::ConnectionsModel(std::function<double()> wall_clock, QObject* parent)
    : QAbstractTableModel(parent), _ledger(std::move(wall_clock)) {}

void ConnectionsModel::refresh(const std::vector<ConnectionSample>& live) {
  _ledger.update(live);
  const std::vector<LedgerRow>& now = _ledger.rows();
  std::set<ConnectionKey> kept;
  for (const LedgerRow& row : now) kept.insert(key_of(row.connection));
  // The ledger only drops rows and appends new ones, so after the drops the rows shown are the
  // first rows of the ledger, in the same order.
  for (int i = static_cast<int>(_rows.size()) - 1; i >= 0; --i) {
    if (kept.contains(key_of(_rows[static_cast<std::size_t>(i)].connection))) continue;
    beginRemoveRows({}, i, i);
    _rows.erase(_rows.begin() + i);
    endRemoveRows();
  }
  for (std::size_t i = 0; i < _rows.size(); ++i) _rows[i] = now[i];
  if (!_rows.empty()) emit dataChanged(index(0, 0), index(rowCount() - 1, COLUMN_COUNT - 1));
  if (now.size() > _rows.size()) {
    beginInsertRows({}, rowCount(), static_cast<int>(now.size()) - 1);
    _rows.insert(_rows.end(), now.begin() + static_cast<std::ptrdiff_t>(_rows.size()), now.end());
    endInsertRows();
  }
}

int ConnectionsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(_rows.size());
}

int ConnectionsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : COLUMN_COUNT; }

QVariant ConnectionsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const LedgerRow& row = _rows[static_cast<std::size_t>(index.row())];
  const ConnectionSample& connection = row.connection;
  if (role == Qt::ForegroundRole) {
    QColor color = TEXT_COLOR;
    // Finished rows look finished at once, then fade out.
    if (row.ended_at) color.setAlphaF(static_cast<float>(0.2 + 0.4 * _ledger.opacity(row)));
    return color;
  }
  if (role == Qt::TextAlignmentRole && index.column() >= UPLOAD) {
    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  }
  if (role == Qt::ToolTipRole && index.column() == PROGRAM) {
    return row.ended_at ? QStringLiteral("已结束") : QStringLiteral("PID %1").arg(connection.pid);
  }
  // Names and rule labels are often wider than their columns.
  if (role == Qt::ToolTipRole && index.column() == DESTINATION) return destination_of(connection);
  if (role == Qt::ToolTipRole && index.column() == RULE && !connection.rule.empty()) {
    return QString::fromStdString(connection.rule);
  }
  if (role != Qt::DisplayRole && role != SORT_ROLE) return {};
  const bool sorting = role == SORT_ROLE;
  switch (index.column()) {
    case PROGRAM:
      return sorting ? program_of(connection).toLower() : program_of(connection);
    case PROTOCOL:
      return connection.udp ? QStringLiteral("UDP") : QStringLiteral("TCP");
    case DESTINATION:
      return destination_of(connection);
    case PROXY:
      return QString::fromStdString(connection.proxy);
    case RULE:
      return connection.rule.empty() ? QStringLiteral("默认") : QString::fromStdString(connection.rule);
    case UPLOAD:
      return sorting ? QVariant::fromValue<qulonglong>(connection.upload)
                     : QVariant(QString::fromStdString(format_bytes(connection.upload)));
    case DOWNLOAD:
      return sorting ? QVariant::fromValue<qulonglong>(connection.download)
                     : QVariant(QString::fromStdString(format_bytes(connection.download)));
    case DURATION:
      return sorting ? QVariant(_ledger.duration(row))
                     : QVariant(QString::fromStdString(format_duration(_ledger.duration(row))));
    default:
      return {};
  }
}

QVariant ConnectionsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const HEADERS[COLUMN_COUNT] = {"程序", "协议", "目标地址", "代理", "规则", "上传", "下载", "时长"};
  return section >= 0 && section < COLUMN_COUNT ? QString::fromUtf8(HEADERS[section]) : QVariant();
}

}  // namespace tovix::insight
