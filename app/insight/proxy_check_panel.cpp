#include "app/insight/proxy_check_panel.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>

#include <cmath>

#include "app/insight/panel_layout.h"
#include "app/insight/panel_style.h"
#include "app/insight/pool_cells.h"
#include "app/insight/proxy_check.h"
#include "app/insight/proxy_check_service.h"
#include "app/insight/proxy_failure_notices.h"
#include "engine/relay/proxy_settings.h"

namespace tovix::insight {
namespace {

QTableWidgetItem* cell(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  return item;
}

// The row names the proxy already; the handler's text says it again.
std::string failure_reason(const nlohmann::ordered_json& proxy, const std::string& error) {
  try {
    const ProxySettings settings = read_proxy_settings(proxy);
    return handler_reason(error, settings.host, settings.port);
  } catch (const std::exception&) {
    return error;
  }
}

// Whether the programs' UDP can go through the proxy, once a check reached it.
QString udp_text(const nlohmann::ordered_json& proxy, const ProxyCheckResult& result) {
  if (!result.reachable) return {};
  if (result.grants_udp) return *result.grants_udp ? QStringLiteral("支持") : QStringLiteral("不支持");
  try {
    // Only a SOCKS5 proxy can carry UDP.
    return read_proxy_settings(proxy).type == "socks5" ? QStringLiteral("未知") : QStringLiteral("不支持");
  } catch (const std::exception&) {
    return {};
  }
}

}  // namespace

ProxyCheckPanel::ProxyCheckPanel(ProxyCheckService* service, QWidget* parent)
    : QWidget(parent),
      _service(service),
      _table(new QTableWidget(0, COLUMN_COUNT, this)),
      _check_all(new QPushButton(this)),
      _pool(new PoolCellsTimer([this] { refresh_pool_cells(); }, this)) {
  setStyleSheet(PANEL_STYLE);
  _table->setHorizontalHeaderLabels({QStringLiteral("代理"), QStringLiteral("类型"), QStringLiteral("延迟"),
                                     QStringLiteral("出口 IP"), QStringLiteral("UDP"), QStringLiteral("结果"),
                                     QStringLiteral("状态 / 本次用量"), QString()});
  _table->verticalHeader()->hide();
  _table->verticalHeader()->setDefaultSectionSize(28);
  _table->setShowGrid(false);
  _table->setSelectionMode(QAbstractItemView::NoSelection);
  QHeaderView* header = _table->horizontalHeader();
  header->resizeSection(PROXY, 220);
  header->resizeSection(TYPE, 76);
  header->resizeSection(LATENCY, 76);
  header->resizeSection(EXIT_ADDRESS, 120);
  header->resizeSection(UDP, 64);
  header->setSectionResizeMode(RESULT, QHeaderView::Stretch);
  header->resizeSection(ACTION, 64);
  header->resizeSection(POOL, 230);
  show_pool_columns(*_table, {POOL, POOL}, false);

  _check_all->setText(QStringLiteral("全部检测"));
  _check_all->setCursor(Qt::PointingHandCursor);
  connect(_check_all, &QPushButton::clicked, this, [this] {
    for (const auto& proxy : _proxies) _service->check(proxy);
  });
  connect(_service, &ProxyCheckService::check_started, this, &ProxyCheckPanel::_show_key);
  connect(_service, &ProxyCheckService::check_finished, this, &ProxyCheckPanel::_show_key);

  lay_out_panel(*this, QStringLiteral("代理检测"), {_check_all}, _table);
}

void ProxyCheckPanel::set_proxies(const nlohmann::ordered_json& proxy_list) {
  _proxies.clear();
  if (proxy_list.is_array()) _proxies.assign(proxy_list.begin(), proxy_list.end());
  _table->setRowCount(static_cast<int>(_proxies.size()));
  for (int row = 0; row < _table->rowCount(); ++row) {
    const auto& proxy = _proxies[static_cast<std::size_t>(row)];
    QString address, type;
    try {
      const ProxySettings settings = read_proxy_settings(proxy);
      // The user tells apart two accounts at one proxy (a current and an expired one).
      const std::string user = settings.username.empty() ? "" : settings.username + "@";
      address = QString::fromStdString(user + settings.host + ":" + std::to_string(settings.port));
      type = QString::fromStdString(settings.type).toUpper();
    } catch (const std::exception&) {
      address = QStringLiteral("（无效的代理设置）");
    }
    _table->setItem(row, PROXY, cell(address));
    _table->setItem(row, TYPE, cell(type));
    auto* button = new QPushButton(QStringLiteral("检测"), _table);
    button->setCursor(Qt::PointingHandCursor);
    connect(button, &QPushButton::clicked, this, [this, row] {
      if (row < static_cast<int>(_proxies.size())) _service->check(_proxies[static_cast<std::size_t>(row)]);
    });
    _table->setCellWidget(row, ACTION, button);
    _show_row(row);
  }
  _check_all->setEnabled(!_proxies.empty());
  refresh_pool_cells();
}

void ProxyCheckPanel::set_pool_readings(std::shared_ptr<const pool::PoolReadings> readings) {
  show_pool_columns(*_table, {POOL, POOL}, readings != nullptr);
  _pool->set_readings(std::move(readings));
}

void ProxyCheckPanel::refresh_pool_cells() {
  const pool::PoolReadings* readings = _pool->readings();
  if (readings == nullptr) return;
  for (int row = 0; row < static_cast<int>(_proxies.size()); ++row) {
    show_pool_cells(*_table, row, {POOL, POOL}, *readings, _proxies[static_cast<std::size_t>(row)]);
  }
}

QPushButton* ProxyCheckPanel::check_button(int row) const {
  return qobject_cast<QPushButton*>(_table->cellWidget(row, ACTION));
}

void ProxyCheckPanel::_show_key(const QString& key) {
  const std::string wanted = key.toStdString();
  for (int row = 0; row < static_cast<int>(_proxies.size()); ++row) {
    if (proxy_key(_proxies[static_cast<std::size_t>(row)]) == wanted) _show_row(row);
  }
}

void ProxyCheckPanel::_show_row(int row) {
  const nlohmann::ordered_json& proxy = _proxies[static_cast<std::size_t>(row)];
  const std::string key = proxy_key(proxy);
  const bool checking = _service->is_checking(key);
  const auto result = _service->last_result(key);
  QString latency, exit_address, udp, outcome = checking ? QStringLiteral("检测中...") : QStringLiteral("未检测");
  QColor color("#cdd6f4");
  if (!checking && result) {
    if (result->reachable) {
      latency = QStringLiteral("%1 ms").arg(std::lround(result->handshake_ms));
      exit_address = QString::fromStdString(result->exit_address);
      udp = udp_text(proxy, *result);
      outcome = result->error.empty() ? QStringLiteral("可用")
                                      : QStringLiteral("可用，") + QString::fromStdString(result->error);
      color = QColor(UPLOAD_COLOR);
    } else {
      outcome = QStringLiteral("失败: ") + QString::fromStdString(failure_reason(proxy, result->error));
      color = QColor(FAILURE_COLOR);
    }
  }
  _table->setItem(row, LATENCY, cell(latency));
  _table->setItem(row, EXIT_ADDRESS, cell(exit_address));
  QTableWidgetItem* udp_cell = cell(udp);
  if (!udp.isEmpty()) udp_cell->setToolTip(QStringLiteral("所选程序的 UDP（QUIC、DNS 等）能否经此代理转发"));
  _table->setItem(row, UDP, udp_cell);
  QTableWidgetItem* result_cell = cell(outcome);
  result_cell->setForeground(color);
  result_cell->setToolTip(outcome);
  _table->setItem(row, RESULT, result_cell);
  if (QTableWidgetItem* proxy = _table->item(row, PROXY)) {
    const bool failed = _service->failed_last_check(key);
    proxy->setForeground(failed ? QColor(FAILURE_COLOR) : QColor("#cdd6f4"));
    proxy->setToolTip(failed ? QStringLiteral("上次检测失败") : QString());
  }
  if (QPushButton* button = check_button(row)) button->setEnabled(!checking);
}

}  // namespace tovix::insight
