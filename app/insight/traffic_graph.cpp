#include "app/insight/traffic_graph.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

#include "app/insight/panel_style.h"
#include "app/insight/rate_axis.h"
#include "common/text.h"

namespace tovix::insight {
namespace {

constexpr int LEFT = 78, RIGHT = 12, TOP = 28, BOTTOM = 24;

QString rate_text(double rate) { return QString::fromStdString(format_rate(rate)); }

}  // namespace

TrafficGraph::TrafficGraph(QWidget* parent) : QWidget(parent) { setAttribute(Qt::WA_OpaquePaintEvent); }

void TrafficGraph::set_points(std::vector<RatePoint> points, double now) {
  _points = std::move(points);
  _now = now;
  update();
}

void TrafficGraph::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.fillRect(rect(), QColor("#181825"));
  const QRectF plot(LEFT, TOP, std::max(1, width() - LEFT - RIGHT), std::max(1, height() - TOP - BOTTOM));

  double highest = 0.0;
  for (const RatePoint& point : _points) highest = std::max({highest, point.upload, point.download});
  const RateAxis axis = rate_axis(highest);
  const double top = axis.top();
  const double window = RateHistory::WINDOW_SECONDS;
  auto x_of = [&](double at) { return plot.left() + plot.width() * std::clamp(1.0 - (_now - at) / window, 0.0, 1.0); };
  auto y_of = [&](double rate) { return plot.bottom() - plot.height() * std::clamp(rate / top, 0.0, 1.0); };

  painter.setPen(QColor("#313244"));
  QFont small = font();
  small.setPixelSize(11);
  painter.setFont(small);
  for (int line = 0; line <= RateAxis::LINES; ++line) {
    const double y = y_of(axis.step() * line);
    painter.setPen(QColor("#313244"));
    painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
    painter.setPen(QColor("#a6adc8"));
    painter.drawText(QRectF(0, y - 8, LEFT - 6, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QString::fromStdString(axis.label(line)));
  }
  for (int minutes : {10, 8, 6, 4, 2, 0}) {
    const double x = x_of(_now - minutes * 60.0);
    painter.setPen(QColor("#313244"));
    painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
    painter.setPen(QColor("#a6adc8"));
    const QString label = minutes == 0 ? QStringLiteral("现在") : QStringLiteral("%1 分钟前").arg(minutes);
    const Qt::Alignment align = minutes == 10 ? Qt::AlignLeft : minutes == 0 ? Qt::AlignRight : Qt::AlignHCenter;
    const double left = minutes == 10 ? x : minutes == 0 ? x - 80 : x - 40;
    painter.drawText(QRectF(left, plot.bottom() + 4, 80, BOTTOM - 4), align | Qt::AlignTop, label);
  }

  auto draw_series = [&](double RatePoint::*rate, const char* color) {
    QPainterPath path;
    const RatePoint* previous = nullptr;
    for (const RatePoint& point : _points) {
      const QPointF at(x_of(point.at), y_of(point.*rate));
      if (previous == nullptr || point.at - previous->at > GAP_SECONDS) {
        path.moveTo(at);
      } else {
        path.lineTo(at);
      }
      previous = &point;
    }
    painter.setPen(QPen(QColor(color), 1.6));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
  };
  draw_series(&RatePoint::download, DOWNLOAD_COLOR);
  draw_series(&RatePoint::upload, UPLOAD_COLOR);

  const RatePoint latest = _points.empty() ? RatePoint{} : _points.back();
  const bool current = !_points.empty() && _now - latest.at <= GAP_SECONDS;
  QFont legend = font();
  legend.setPixelSize(12);
  painter.setFont(legend);
  painter.setPen(QColor(UPLOAD_COLOR));
  painter.drawText(QRectF(LEFT, 4, 200, TOP - 8), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("▲ 上传 %1").arg(rate_text(current ? latest.upload : 0.0)));
  painter.setPen(QColor(DOWNLOAD_COLOR));
  painter.drawText(QRectF(LEFT + 200, 4, 200, TOP - 8), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("▼ 下载 %1").arg(rate_text(current ? latest.download : 0.0)));
}

}  // namespace tovix::insight
