#include "app/window/engine_bar.h"

#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/status_style.h"

namespace tovix::app {
namespace {

struct StateLook {
  const char* text;
  const char* colour;
  const char* button;
  const char* button_style;
  bool button_enabled;
};

constexpr EngineState ALL_STATES[] = {EngineState::stopped, EngineState::starting, EngineState::running,
                                      EngineState::stopping};
// As wide as the widest figures format_bytes and format_rate give ("1023.9 MB  1023.9 MB/s"),
// in whichever digit the font draws widest.
QString widest_traffic(QChar digit) {
  const QString number = QString(4, digit) + '.' + digit;
  return number + " MB  " + number + " MB/s";
}
// The status and error lines wrap, but not into a column too narrow to read.
constexpr int TEXTS_MIN_WIDTH = 280;
constexpr int TOGGLE_MIN_WIDTH = 120;

StateLook look_of(EngineState state) {
  switch (state) {
    case EngineState::starting:
      return {"● 正在启动...", "#f9e2af", "停止代理", "danger", true};
    case EngineState::running:
      return {"● 代理运行中", "#40a02b", "停止代理", "danger", true};
    case EngineState::stopping:
      return {"● 正在停止...", "#f9e2af", "停止代理", "danger", false};
    case EngineState::stopped:
      break;
  }
  return {"● 代理已停止", "#a6adc8", "启动代理", "primary", true};
}

}  // namespace

EngineBar::EngineBar(EngineController& engine, QWidget* parent) : QWidget(parent), _engine(engine) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  auto* texts = new QVBoxLayout;
  _state = new QLabel;
  _status = new QLabel;
  _status->setWordWrap(true);
  _error = new QLabel;
  _error->setWordWrap(true);
  texts->addWidget(_state);
  texts->addWidget(_status);
  texts->addWidget(_error);
  _status->setMinimumWidth(TEXTS_MIN_WIDTH);
  _error->setMinimumWidth(TEXTS_MIN_WIDTH);
  layout->addLayout(texts, 1);

  auto* traffic = new QGridLayout;
  _upload = new QLabel;
  _download = new QLabel;
  _upload->setObjectName("traffic");
  _download->setObjectName("traffic");
  traffic->addWidget(new QLabel(QStringLiteral("↑ 上传")), 0, 0);
  traffic->addWidget(_upload, 0, 1);
  traffic->addWidget(new QLabel(QStringLiteral("↓ 下载")), 1, 0);
  traffic->addWidget(_download, 1, 1);
  layout->addLayout(traffic);

  _toggle = new QPushButton;
  _toggle->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  layout->addWidget(_toggle);

  ui::show_status(_status, QString(), ui::StatusKind::neutral);
  ui::show_status(_error, QString(), ui::StatusKind::error);
  connect(_toggle, &QPushButton::clicked, this, [this] {
    if (_engine.state() == EngineState::stopped) {
      emit start_requested();
    } else {
      emit stop_requested();
    }
  });
  connect(&_engine, &EngineController::state_changed, this, &EngineBar::_show_state);
  connect(&_engine, &EngineController::status_text, this,
          [this](const QString& text) { ui::show_status(_status, text, ui::StatusKind::neutral); });
  connect(&_engine, &EngineController::error_text, this,
          [this](const QString& text) { ui::show_status(_error, text, ui::StatusKind::error); });
  _traffic_timer.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(TRAFFIC_REFRESH_PERIOD));
  connect(&_traffic_timer, &QTimer::timeout, this, &EngineBar::refresh_traffic);
  _traffic_timer.start();
  _show_state(_engine.state());
  refresh_traffic();
}

void EngineBar::refresh_traffic() {
  const TrafficReading reading = _meter.sample(_engine.traffic());
  _upload->setText(QString::fromStdString(format_bytes(reading.up_total) + "  " + format_rate(reading.up_rate)));
  _download->setText(QString::fromStdString(format_bytes(reading.down_total) + "  " + format_rate(reading.down_rate)));
  emit traffic_read(reading);
}

bool EngineBar::event(QEvent* event) {
  const bool handled = QWidget::event(event);
  if (event->type() == QEvent::Polish || event->type() == QEvent::StyleChange) _fit_minimum_widths();
  return handled;
}

void EngineBar::_fit_minimum_widths() {
  // Room for the widest figures, so the bar neither clips them nor shifts as they change.
  for (QLabel* figures : {_upload, _download}) {
    figures->ensurePolished();
    const QString shown = figures->text();
    int width = 0;
    for (char digit = '0'; digit <= '9'; ++digit) {
      figures->setText(widest_traffic(QChar::fromLatin1(digit)));
      width = std::max(width, figures->sizeHint().width());
    }
    figures->setText(shown);
    figures->setMinimumWidth(width);
  }
  // The state line and the button keep one width through every state.
  const EngineState shown = _engine.state();
  int state_width = 0;
  QSize button;
  for (EngineState state : ALL_STATES) {
    _apply_look(state);
    _state->ensurePolished();
    _toggle->ensurePolished();
    state_width = std::max(state_width, _state->sizeHint().width());
    button = button.expandedTo(_toggle->sizeHint());
  }
  _apply_look(shown);
  _state->setMinimumWidth(state_width);
  _toggle->setMinimumSize(button.expandedTo(QSize(TOGGLE_MIN_WIDTH, 0)));
}

void EngineBar::_show_state(EngineState state) {
  _apply_look(state);
  if (state == EngineState::stopped) {
    // Nothing flows once stopped: the totals stay, the rates start again from them.
    _meter.reset();
    refresh_traffic();
  }
  if (state == EngineState::starting) ui::show_status(_error, QString(), ui::StatusKind::error);
}

void EngineBar::_apply_look(EngineState state) {
  const StateLook look = look_of(state);
  _state->setText(QString::fromUtf8(look.text));
  _state->setStyleSheet(QStringLiteral("color: %1; font-size: 15px; font-weight: bold;").arg(look.colour));
  _toggle->setText(QString::fromUtf8(look.button));
  _toggle->setObjectName(look.button_style);
  _toggle->setEnabled(look.button_enabled);
  // The object name picks the button's colours in the window's style sheet.
  _toggle->style()->unpolish(_toggle);
  _toggle->style()->polish(_toggle);
}

}  // namespace tovix::app
