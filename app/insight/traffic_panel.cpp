#include "app/insight/traffic_panel.h"

#include <QComboBox>
#include <QTimer>

#include "app/insight/panel_layout.h"
#include "app/insight/panel_style.h"
#include "app/insight/traffic_graph.h"

namespace tovix::insight {

TrafficPanel::TrafficPanel(TrafficSource source, std::function<double()> clock, QWidget* parent)
    : QWidget(parent),
      _source(std::move(source)),
      _history(std::move(clock)),
      _choice(new QComboBox(this)),
      _graph(new TrafficGraph(this)),
      _timer(new QTimer(this)) {
  setStyleSheet(PANEL_STYLE);
  _choice->addItem(QStringLiteral("全部代理"), QString::fromStdString(RateHistory::TOTAL));
  _choice->setMinimumContentsLength(18);
  connect(_choice, &QComboBox::currentIndexChanged, this, &TrafficPanel::_show_chosen);

  lay_out_panel(*this, QStringLiteral("流量（最近 10 分钟）"), {_choice}, _graph);

  _timer->setInterval(SAMPLE_MS);
  connect(_timer, &QTimer::timeout, this, &TrafficPanel::sample);
  _timer->start();
}

void TrafficPanel::sample() {
  if (_source) {
    try {
      const TrafficReading reading = _source();
      _history.record(RateHistory::TOTAL, reading.total);
      for (const auto& [proxy, totals] : reading.per_proxy) _history.record(proxy, totals);
    } catch (const std::exception&) {
      // No reading this second: the graph shows a gap.
    }
  }
  _update_choices();
  _show_chosen();
}

void TrafficPanel::_update_choices() {
  for (const std::string& series : _history.series()) {
    const QString name = QString::fromStdString(series);
    if (_choice->findData(name) < 0) _choice->addItem(name, name);
  }
}

void TrafficPanel::_show_chosen() {
  const std::string series = _choice->currentData().toString().toStdString();
  _graph->set_points(_history.points(series), _history.now());
}

}  // namespace tovix::insight
