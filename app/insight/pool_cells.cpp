#include "app/insight/pool_cells.h"

#include <QHeaderView>
#include <QTableWidget>

#include <utility>

#include "app/insight/panel_style.h"
#include "engine/pool/pool_texts.h"

namespace tovix::insight {
namespace {

void put(QTableWidget& table, int row, int column, const std::string& text, const std::string& tooltip,
         const char* color = nullptr) {
  if (column < 0) return;
  auto* item = new QTableWidgetItem(QString::fromStdString(text));
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  item->setToolTip(QString::fromStdString(tooltip));
  if (color != nullptr) item->setForeground(QColor(color));
  table.setItem(row, column, item);
}

}  // namespace

void show_pool_cells(QTableWidget& table, int row, const PoolColumns& columns, const pool::PoolReadings& readings,
                     const nlohmann::ordered_json& proxy_entry, std::chrono::system_clock::time_point now) {
  const pool::ProxyIdentity proxy = pool::identity_of(proxy_entry);
  const std::optional<pool::ProxyHealthView> health = readings.health_of(proxy);
  const pool::HealthText shown = pool::health_text(health, now);
  const char* color = shown.down ? FAILURE_COLOR : (health ? UPLOAD_COLOR : nullptr);
  const pool::ProxyUsage usage = readings.usage_of(proxy);
  const std::string since_start = "本次 " + pool::usage_text(usage.since_start);
  const std::string total = "累计 " + pool::usage_text(usage.total);
  if (columns.usage == columns.health) {
    const std::string state = shown.reason.empty() ? shown.state : shown.state + " · " + shown.reason;
    // Green would read as praise of the usage line too: only a down proxy is coloured here.
    put(table, row, columns.health, state + "\n" + since_start, shown.detail + "\n\n" + since_start + "\n" + total,
        shown.down ? FAILURE_COLOR : nullptr);
    return;
  }
  put(table, row, columns.health, shown.reason.empty() ? shown.state : shown.state + "\n" + shown.reason, shown.detail,
      color);
  put(table, row, columns.usage, since_start + "\n" + total, "本次: 本次启动以来\n累计: 保存在 proxy_usage.json");
}

void show_pool_columns(QTableWidget& table, const PoolColumns& columns, bool shown) {
  for (int column : {columns.health, columns.usage}) {
    if (column >= 0) table.setColumnHidden(column, !shown);
  }
  // Two lines each, never wrapped further: a long text is cut with "…" and whole in its tooltip.
  table.setWordWrap(!shown);
  table.verticalHeader()->setSectionResizeMode(shown ? QHeaderView::ResizeToContents : QHeaderView::Interactive);
}

PoolCellsTimer::PoolCellsTimer(std::function<void()> refresh, QObject* parent)
    : QObject(parent), _refresh(std::move(refresh)) {
  _timer.setInterval(PERIOD);
  connect(&_timer, &QTimer::timeout, this, [this] { _refresh(); });
}

void PoolCellsTimer::set_readings(std::shared_ptr<const pool::PoolReadings> readings) {
  _readings = std::move(readings);
  if (_readings) {
    _timer.start();
    _refresh();
  } else {
    _timer.stop();
  }
}

}  // namespace tovix::insight
