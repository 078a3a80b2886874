#pragma once
// The pool's cells in a proxy table: health (up or down, since when, why) and usage (since the
// start and in total) of the proxy of one ProxyEntry record. Each takes two lines; a table
// short of room puts both into one cell (health, then the usage since the start, the total in
// its tooltip). Tables refresh them with a PoolCellsTimer.
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

#include <nlohmann/json.hpp>

#include "app/insight/app_insight_export.h"
#include "engine/pool/pool_readings.h"

class QTableWidget;

namespace tovix::insight {

struct PoolColumns {
  int health = -1;
  int usage = -1;  // the same as `health`: one cell for both
};

APP_INSIGHT_EXPORT void show_pool_cells(QTableWidget& table, int row, const PoolColumns& columns,
                                        const pool::PoolReadings& readings, const nlohmann::ordered_json& proxy_entry,
                                        std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// Shows or hides the pool's columns; while shown, rows are as tall as their two lines.
APP_INSIGHT_EXPORT void show_pool_columns(QTableWidget& table, const PoolColumns& columns, bool shown);

// Calls `refresh` every PERIOD while readings are set (and once when they are).
class APP_INSIGHT_EXPORT PoolCellsTimer : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::seconds PERIOD{2};

  PoolCellsTimer(std::function<void()> refresh, QObject* parent);
  void set_readings(std::shared_ptr<const pool::PoolReadings> readings);
  const pool::PoolReadings* readings() const { return _readings.get(); }

 private:
  std::function<void()> _refresh;
  std::shared_ptr<const pool::PoolReadings> _readings;
  QTimer _timer;
};

}  // namespace tovix::insight
