#include "app/window/tray_look.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace tovix::app {
namespace {

constexpr int ICON_SIZES[] = {16, 20, 24, 32, 48, 64};

QPixmap draw_icon(int size, TrayState state) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);
  const qreal unit = size / 32.0;
  // The brand's dark tile with its blue ring, as in the window.
  QPainterPath tile;
  tile.addRoundedRect(QRectF(1 * unit, 1 * unit, 30 * unit, 30 * unit), 7 * unit, 7 * unit);
  painter.fillPath(tile, QColor("#1e1e2e"));
  painter.setPen(QPen(QColor("#89b4fa"), 2.5 * unit));
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(QRectF(6 * unit, 5 * unit, 18 * unit, 18 * unit));
  // The way through the proxy: an arrow across the ring.
  painter.setPen(QPen(QColor("#cdd6f4"), 2.5 * unit, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  painter.drawLine(QPointF(10 * unit, 14 * unit), QPointF(20 * unit, 14 * unit));
  painter.drawPolyline(
      QPolygonF({QPointF(16.5 * unit, 10.5 * unit), QPointF(20 * unit, 14 * unit), QPointF(16.5 * unit, 17.5 * unit)}));
  // The state: a dot in the corner, with a dark rim so it stands out on any panel.
  painter.setPen(QPen(QColor("#1e1e2e"), 2 * unit));
  painter.setBrush(tray_state_colour(state));
  painter.drawEllipse(QRectF(18 * unit, 18 * unit, 13 * unit, 13 * unit));
  if (state == TrayState::error) {
    painter.setPen(QPen(QColor("#ffffff"), 2 * unit, Qt::SolidLine, Qt::RoundCap));
    painter.drawLine(QPointF(24.5 * unit, 21 * unit), QPointF(24.5 * unit, 25 * unit));
    painter.drawPoint(QPointF(24.5 * unit, 28 * unit));
  }
  return pixmap;
}

}  // namespace

QColor tray_state_colour(TrayState state) {
  switch (state) {
    case TrayState::running:
      return QColor("#40a02b");
    case TrayState::starting:
    case TrayState::stopping:
      return QColor("#f9e2af");
    case TrayState::error:
      return QColor("#e64553");
    case TrayState::stopped:
      break;
  }
  return QColor("#7f849c");
}

QIcon tray_icon(TrayState state) {
  QIcon icon;
  for (int size : ICON_SIZES) icon.addPixmap(draw_icon(size, state));
  return icon;
}

QString tray_state_text(TrayState state) {
  switch (state) {
    case TrayState::running:
      return QStringLiteral("代理运行中");
    case TrayState::starting:
      return QStringLiteral("正在启动...");
    case TrayState::stopping:
      return QStringLiteral("正在停止...");
    case TrayState::error:
      return QStringLiteral("代理因错误停止");
    case TrayState::stopped:
      break;
  }
  return QStringLiteral("代理已停止");
}

QString tray_tooltip(TrayState state, const TrafficReading& reading) {
  return QStringLiteral("云貂代理 - %1\n↑ 上传 %2  %3\n↓ 下载 %4  %5")
      .arg(tray_state_text(state), QString::fromStdString(format_bytes(reading.up_total)),
           QString::fromStdString(format_rate(reading.up_rate)),
           QString::fromStdString(format_bytes(reading.down_total)),
           QString::fromStdString(format_rate(reading.down_rate)));
}

}  // namespace tovix::app
