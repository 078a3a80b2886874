#pragma once
// Upload and download rates of one series over the last ten minutes, drawn with QPainter: time
// runs left to right up to "now", the rate axis is scaled to the highest rate shown (rate_axis).
#include <QWidget>

#include <vector>

#include "app/insight/app_insight_export.h"
#include "app/insight/rate_history.h"

namespace tovix::insight {

class APP_INSIGHT_EXPORT TrafficGraph : public QWidget {
  Q_OBJECT

 public:
  // Readings further apart than this are not joined by a line: the engine was not running.
  static constexpr double GAP_SECONDS = 3.0;

  explicit TrafficGraph(QWidget* parent = nullptr);

  void set_points(std::vector<RatePoint> points, double now);
  QSize sizeHint() const override { return {560, 220}; }
  QSize minimumSizeHint() const override { return {240, 120}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<RatePoint> _points;
  double _now = 0.0;
};

}  // namespace tovix::insight
