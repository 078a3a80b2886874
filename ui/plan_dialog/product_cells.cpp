#include "ui/plan_dialog/product_cells.h"

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QTableWidgetItem>
#include <stdexcept>

#include "common/json_values.h"

namespace tovix {

QString due_text(const nlohmann::ordered_json& due_time) {
  if (due_time.is_null()) return {};
  std::int64_t seconds = 0;
  try {
    seconds = to_integer(due_time);
  } catch (const std::invalid_argument&) {
    return QString::fromStdString(text_of(due_time));
  }
  if (seconds == 0) return {};
  return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QTableWidgetItem* text_cell(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setForeground(QColor(QString::fromLatin1(CELL_COLOUR)));
  return item;
}

QTableWidgetItem* action_cell(const QString& text, const QString& tooltip) {
  auto* item = new QTableWidgetItem(text);
  item->setForeground(QColor(QString::fromLatin1(ACTION_COLOUR)));
  item->setTextAlignment(Qt::AlignCenter);
  QFont font = item->font();
  font.setUnderline(true);
  item->setFont(font);
  item->setToolTip(tooltip);
  return item;
}

QTableWidgetItem* check_cell() {
  auto* item = new QTableWidgetItem;
  item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
  item->setCheckState(Qt::Unchecked);
  return item;
}

}  // namespace tovix
