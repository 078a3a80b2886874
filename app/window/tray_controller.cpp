#include "app/window/tray_controller.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>

#include "app/core/settings_keys.h"
#include "app/window/engine_bar.h"
#include "config/settings_store.h"

namespace tovix::app {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* CLOSE_ACTION_PROPERTY = "close_action";

TrayState tray_state_of(EngineState state) {
  switch (state) {
    case EngineState::starting:
      return TrayState::starting;
    case EngineState::running:
      return TrayState::running;
    case EngineState::stopping:
      return TrayState::stopping;
    case EngineState::stopped:
      break;
  }
  return TrayState::stopped;
}

}  // namespace

QMessageBox* make_close_question(QWidget* parent) {
  auto* box = new QMessageBox(parent);
  box->setIcon(QMessageBox::Question);
  box->setWindowTitle(QStringLiteral("关闭窗口"));
  box->setText(QStringLiteral("关闭窗口后，要让云貂代理在系统托盘中继续运行，还是退出程序？"));
  box->setInformativeText(QStringLiteral("此选择会被记住，之后可在「启动与托盘」页修改。"));
  const auto add = [box](const QString& text, QMessageBox::ButtonRole role, CloseAction action) {
    QPushButton* button = box->addButton(text, role);
    button->setProperty(CLOSE_ACTION_PROPERTY, static_cast<int>(action));
    return button;
  };
  box->setDefaultButton(add(QStringLiteral("最小化到托盘"), QMessageBox::AcceptRole, CloseAction::hide));
  add(QStringLiteral("退出程序"), QMessageBox::DestructiveRole, CloseAction::quit);
  box->setEscapeButton(add(QStringLiteral("取消"), QMessageBox::RejectRole, CloseAction::stay));
  return box;
}

CloseAction ask_close_action(QWidget* parent) {
  QMessageBox* box = make_close_question(parent);
  box->exec();
  const QAbstractButton* clicked = box->clickedButton();
  const CloseAction action = clicked == nullptr
                                 ? CloseAction::stay
                                 : static_cast<CloseAction>(clicked->property(CLOSE_ACTION_PROPERTY).toInt());
  box->deleteLater();
  return action;
}

TrayController::TrayController(MainWindow& window, SettingsStore& settings, bool available, CloseQuestion ask,
                               QObject* parent)
    : QObject(parent), _window(window), _settings(settings), _available(available), _ask(std::move(ask)) {
  _menu = new QMenu;
  _show = _menu->addAction(QStringLiteral("显示主窗口"));
  _toggle = _menu->addAction(QString());
  _menu->addSeparator();
  _quit = _menu->addAction(QStringLiteral("退出"));
  _icon.setContextMenu(_menu);

  connect(_show, &QAction::triggered, &_window, &MainWindow::bring_forward);
  connect(_toggle, &QAction::triggered, this, [this] {
    if (_window.engine().state() == EngineState::stopped) {
      _window.start_engine();
    } else {
      _window.stop_engine();
    }
  });
  connect(_quit, &QAction::triggered, &_window, &MainWindow::quit);
  connect(&_icon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) _window.bring_forward();
  });
  connect(&_icon, &QSystemTrayIcon::messageClicked, &_window, &MainWindow::bring_forward);

  EngineController& engine = _window.engine();
  connect(&engine, &EngineController::state_changed, this, &TrayController::_on_engine_state);
  connect(&engine, &EngineController::error_text, this, [this](const QString& text) { _last_error = text; });
  connect(&engine, &EngineController::api_status, this, [this](const QString& text, bool ok) {
    if (!ok) _notify(QStringLiteral("API 提取失败"), text, QSystemTrayIcon::Warning);
  });
  connect(_window.engine_bar(), &EngineBar::traffic_read, this, [this](const TrafficReading& reading) {
    _traffic = reading;
    _icon.setToolTip(tray_tooltip(_state, _traffic));
  });

  if (_available) _window.set_close_decision([this] { return _decide_close(); });
  _set_state(tray_state_of(engine.state()));
  if (_available) _icon.show();
}

TrayController::~TrayController() {
  _window.set_close_decision(nullptr);
  _icon.hide();
  _icon.setContextMenu(nullptr);
  delete _menu;
}

void TrayController::show_window(bool minimized) {
  if (!minimized) {
    _window.show();
  } else if (!_available) {
    _window.showMinimized();
  }
}

void TrayController::notify_proxy_failure(const QString& text) {
  _notify(QStringLiteral("代理连接失败"), text, QSystemTrayIcon::Warning);
}

void TrayController::_on_engine_state(EngineState state) {
  if (state == EngineState::starting) {
    _last_error.clear();
    _stop_asked = false;
  }
  if (state == EngineState::stopping) _stop_asked = true;
  const bool was_on = _state == TrayState::starting || _state == TrayState::running;
  if (state == EngineState::stopped && was_on && !_stop_asked) {
    // Nobody asked it to stop: it could not start or its packet loop failed.
    _set_state(TrayState::error);
    _notify(QStringLiteral("代理已停止"), _last_error.isEmpty() ? QStringLiteral("代理引擎意外停止") : _last_error,
            QSystemTrayIcon::Critical);
    return;
  }
  _set_state(tray_state_of(state));
}

void TrayController::_set_state(TrayState state) {
  _state = state;
  _icon.setIcon(tray_icon(state));
  _icon.setToolTip(tray_tooltip(state, _traffic));
  const bool stopped = state == TrayState::stopped || state == TrayState::error;
  _toggle->setText(stopped ? QStringLiteral("启动代理") : QStringLiteral("停止代理"));
  _toggle->setEnabled(state != TrayState::stopping);
}

void TrayController::_notify(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon kind) {
  // The window says it itself when the user looks at it.
  if (!_available || (_window.isVisible() && !_window.isMinimized())) return;
  _icon.showMessage(title, text, kind);
  emit notified(title, text);
}

CloseAction TrayController::_decide_close() {
  const Json choice = _settings.get(CLOSE_TO_TRAY_KEY);
  if (choice.is_boolean()) return choice.get<bool>() ? CloseAction::hide : CloseAction::quit;
  const CloseAction action = _ask(&_window);
  if (action == CloseAction::stay) return action;
  _settings.set(CLOSE_TO_TRAY_KEY, action == CloseAction::hide);
  emit close_choice_made(action == CloseAction::hide);
  if (action == CloseAction::hide) {
    // Shown once the window is gone: where the program went and how to end it.
    QMetaObject::invokeMethod(
        this,
        [this] {
          _notify(QStringLiteral("云貂代理仍在运行"),
                  QStringLiteral("程序已最小化到系统托盘，右键点击托盘图标可退出。"), QSystemTrayIcon::Information);
        },
        Qt::QueuedConnection);
  }
  return action;
}

}  // namespace tovix::app
