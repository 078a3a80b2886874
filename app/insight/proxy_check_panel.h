#pragma once
// One row per proxy of the list with a "检测" button and a "全部检测" button: latency, exit
// address, whether the proxy carries UDP, or the handler's error text; a proxy whose last check
// failed is marked. With the pool's readings set, each row also shows its proxy's health and
// usage.
#include <QWidget>

#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/insight/app_insight_export.h"

class QPushButton;
class QTableWidget;

namespace tovix::pool {
class PoolReadings;
}

namespace tovix::insight {

class PoolCellsTimer;
class ProxyCheckService;

class APP_INSIGHT_EXPORT ProxyCheckPanel : public QWidget {
  Q_OBJECT

 public:
  enum Column { PROXY, TYPE, LATENCY, EXIT_ADDRESS, UDP, RESULT, POOL, ACTION, COLUMN_COUNT };

  ProxyCheckPanel(ProxyCheckService* service, QWidget* parent = nullptr);

  // The proxy list (ProxyEntry records); results of proxies still listed are kept.
  void set_proxies(const nlohmann::ordered_json& proxy_list);
  // Health and usage of the listed proxies, refreshed every few seconds (null: none shown).
  void set_pool_readings(std::shared_ptr<const pool::PoolReadings> readings);
  void refresh_pool_cells();

  QTableWidget* table() const { return _table; }
  QPushButton* check_all_button() const { return _check_all; }
  QPushButton* check_button(int row) const;

 private:
  void _show_row(int row);
  void _show_key(const QString& key);

  ProxyCheckService* _service;
  std::vector<nlohmann::ordered_json> _proxies;
  QTableWidget* _table;
  QPushButton* _check_all;
  PoolCellsTimer* _pool;
};

}  // namespace tovix::insight
