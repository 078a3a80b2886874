#pragma once
// The traffic graph with its choice of series (all proxies, or one), fed once a second with
// the engine's byte totals.
#include <QWidget>

#include <functional>
#include <string>

#include "app/insight/app_insight_export.h"
#include "app/insight/rate_history.h"

class QComboBox;
class QTimer;

namespace tovix::insight {

class TrafficGraph;

class APP_INSIGHT_EXPORT TrafficPanel : public QWidget {
  Q_OBJECT

 public:
  using TrafficSource = std::function<TrafficReading()>;
  static constexpr int SAMPLE_MS = 1000;

  TrafficPanel(TrafficSource source, std::function<double()> clock, QWidget* parent = nullptr);

  // One reading now; the timer calls it once a second.
  void sample();

  QComboBox* series_choice() const { return _choice; }
  TrafficGraph* graph() const { return _graph; }
  const RateHistory& history() const { return _history; }

 private:
  void _show_chosen();
  void _update_choices();

  TrafficSource _source;
  RateHistory _history;
  QComboBox* _choice;
  TrafficGraph* _graph;
  QTimer* _timer;
};

}  // namespace tovix::insight
