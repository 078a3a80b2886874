#include "app/window/proxy_list_panel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/insight/pool_cells.h"
#include "app/window/proxy_edit_dialog.h"
#include "app/window/spread_mode_box.h"
#include "common/json_values.h"
#include "config/settings_store.h"

namespace tovix::app {
namespace {

enum Column { TYPE, HOST, PORT, USERNAME, PASSWORD, HEALTH, USAGE, COLUMN_COUNT };
constexpr insight::PoolColumns POOL_COLUMNS{HEALTH, USAGE};

QString cell_text(const nlohmann::ordered_json& entry, const char* key) {
  return entry.is_object() && entry.contains(key) ? QString::fromStdString(text_of(entry[key])) : QString();
}

std::string field(const nlohmann::ordered_json& entry, const char* key) {
  return entry.contains(key) ? text_of(entry[key]) : std::string();
}

}  // namespace

ProxyListPanel::ProxyListPanel(SettingsStore& settings, QWidget* parent) : QWidget(parent), _settings(settings) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  _table = new QTableWidget(0, COLUMN_COUNT);
  _table->setHorizontalHeaderLabels({QStringLiteral("类型"), QStringLiteral("地址"), QStringLiteral("端口"),
                                     QStringLiteral("用户名"), QStringLiteral("密码"), QStringLiteral("状态"),
                                     QStringLiteral("用量")});
  _table->setSelectionBehavior(QAbstractItemView::SelectRows);
  _table->setSelectionMode(QAbstractItemView::SingleSelection);
  _table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  _table->setAlternatingRowColors(true);
  _table->verticalHeader()->setVisible(false);
  _table->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  _table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  _table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  _table->horizontalHeader()->setSectionResizeMode(PASSWORD, QHeaderView::ResizeToContents);
  _table->horizontalHeader()->setSectionResizeMode(HEALTH, QHeaderView::ResizeToContents);
  _table->horizontalHeader()->setSectionResizeMode(USAGE, QHeaderView::ResizeToContents);
  _pool = new insight::PoolCellsTimer([this] { refresh_pool_cells(); }, this);
  insight::show_pool_columns(*_table, POOL_COLUMNS, false);
  connect(_table, &QTableWidget::cellDoubleClicked, this, &ProxyListPanel::_on_edit);
  layout->addWidget(_table);

  auto* buttons = new QHBoxLayout;
  _add = new QPushButton(QStringLiteral("添加代理"));
  _edit = new QPushButton(QStringLiteral("编辑"));
  _remove = new QPushButton(QStringLiteral("删除"));
  connect(_add, &QPushButton::clicked, this, &ProxyListPanel::_on_add);
  connect(_edit, &QPushButton::clicked, this, &ProxyListPanel::_on_edit);
  connect(_remove, &QPushButton::clicked, this, &ProxyListPanel::_on_remove);
  buttons->addWidget(_add);
  buttons->addWidget(_edit);
  buttons->addWidget(_remove);
  buttons->addStretch(1);
  buttons->addWidget(new QLabel(QStringLiteral("分配方式")));
  _spread = new SpreadModeBox(settings);
  buttons->addWidget(_spread);
  layout->addLayout(buttons);
  reload();
}

void ProxyListPanel::reload() {
  const nlohmann::ordered_json list = _settings.proxy_list();
  const int rows = list.is_array() ? static_cast<int>(list.size()) : 0;
  _table->setRowCount(rows);
  for (int row = 0; row < rows; ++row) {
    const auto& entry = list[static_cast<std::size_t>(row)];
    const QString type = cell_text(entry, "type");
    _table->setItem(row, 0, new QTableWidgetItem(type == QLatin1String("http") ? "HTTP" : "SOCKS5"));
    _table->setItem(row, 1, new QTableWidgetItem(cell_text(entry, "host")));
    _table->setItem(row, 2, new QTableWidgetItem(cell_text(entry, "port")));
    _table->setItem(row, 3, new QTableWidgetItem(cell_text(entry, "username")));
    // The password itself never appears on screen (screenshots, shoulder surfing).
    _table->setItem(row, 4, new QTableWidgetItem(cell_text(entry, "password").isEmpty() ? "" : "••••••"));
  }
  refresh_pool_cells();
  const bool any = rows > 0;
  _edit->setEnabled(any);
  _remove->setEnabled(any);
}

void ProxyListPanel::set_pool_readings(std::shared_ptr<const pool::PoolReadings> readings) {
  insight::show_pool_columns(*_table, POOL_COLUMNS, readings != nullptr);
  _pool->set_readings(std::move(readings));
}

void ProxyListPanel::refresh_pool_cells() {
  const pool::PoolReadings* readings = _pool->readings();
  if (readings == nullptr) return;
  const nlohmann::ordered_json list = _settings.proxy_list();
  for (int row = 0; row < _table->rowCount() && list.is_array() && row < static_cast<int>(list.size()); ++row) {
    insight::show_pool_cells(*_table, row, POOL_COLUMNS, *readings, list[static_cast<std::size_t>(row)]);
  }
}

void ProxyListPanel::_on_add() {
  ProxyEditDialog dialog(nullptr, this);
  if (dialog.exec() == QDialog::Accepted) _store(dialog.entry(), -1);
}

void ProxyListPanel::_on_edit() {
  const int row = _table->currentRow();
  const nlohmann::ordered_json list = _settings.proxy_list();
  if (row < 0 || !list.is_array() || row >= static_cast<int>(list.size())) return;
  ProxyEditDialog dialog(list[static_cast<std::size_t>(row)], this);
  if (dialog.exec() == QDialog::Accepted) _store(dialog.entry(), row);
}

void ProxyListPanel::_on_remove() {
  const int row = _table->currentRow();
  if (row < 0) return;
  _settings.remove_proxy(row);
  reload();
  _announce();
}

void ProxyListPanel::add_entries(const nlohmann::ordered_json& entries) {
  if (!entries.is_array() || entries.empty()) return;
  for (const auto& entry : entries) _save(entry, -1);
  reload();
  _announce();
}

void ProxyListPanel::_save(const nlohmann::ordered_json& entry, std::int64_t index) {
  const std::string type = field(entry, "type"), host = field(entry, "host");
  const std::string username = field(entry, "username"), password = field(entry, "password");
  const nlohmann::ordered_json port = entry.value("port", nlohmann::ordered_json(0));
  if (index < 0) {
    _settings.add_proxy(type, host, port, username, password);
  } else {
    _settings.update_proxy(index, type, host, port, username, password);
  }
}

void ProxyListPanel::_store(const nlohmann::ordered_json& entry, std::int64_t index) {
  _save(entry, index);
  reload();
  if (index >= 0) _table->selectRow(static_cast<int>(index));
  _announce();
}

void ProxyListPanel::_announce() { emit proxies_changed(_settings.proxy_list()); }

}  // namespace tovix::app
