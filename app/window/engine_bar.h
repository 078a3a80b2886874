#pragma once
// The top of the window: start and stop, the engine's state, its latest status and error
// texts, and the traffic (totals and current rates, refreshed once a second).
#include <QTimer>
#include <QWidget>

#include "app/core/engine_controller.h"
#include "app/core/traffic_meter.h"

class QLabel;
class QPushButton;

namespace tovix::app {

inline constexpr std::chrono::seconds TRAFFIC_REFRESH_PERIOD{1};

class EngineBar : public QWidget {
  Q_OBJECT

 public:
  explicit EngineBar(EngineController& engine, QWidget* parent = nullptr);

  QPushButton* toggle_button() const { return _toggle; }
  QLabel* state_label() const { return _state; }
  QLabel* status_label() const { return _status; }
  QLabel* error_label() const { return _error; }
  QLabel* upload_label() const { return _upload; }
  QLabel* download_label() const { return _download; }
  // One traffic refresh now (the timer's work).
  void refresh_traffic();

 signals:
  void start_requested();
  void stop_requested();
  // Each traffic refresh, with what it shows.
  void traffic_read(const tovix::app::TrafficReading& reading);

 protected:
  bool event(QEvent* event) override;

 private:
  void _show_state(EngineState state);
  void _apply_look(EngineState state);
  // Minimum widths from the fonts the style sheet gives, known only once polished.
  void _fit_minimum_widths();

  EngineController& _engine;
  TrafficMeter _meter;
  QTimer _traffic_timer;
  QPushButton* _toggle;
  QLabel* _state;
  QLabel* _status;
  QLabel* _error;
  QLabel* _upload;
  QLabel* _download;
};

}  // namespace tovix::app
