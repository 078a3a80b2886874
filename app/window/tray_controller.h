#pragma once
// The program in the system tray: an icon that shows the engine's state, a tooltip with the
// traffic, a menu to start and stop the engine, open the window and quit, and notifications of
// what must not go unnoticed while the window is out of sight (the engine stopped on an error, a
// proxy failed, the API extraction failed). Closing the window hides it in the tray when the user
// chose so, asked at the first close. Without a tray (`available` false) nothing of this shows
// and closing the window quits, as it always did.
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

#include "app/core/engine_controller.h"
#include "app/window/main_window.h"
#include "app/window/tray_look.h"

class QAction;
class QMenu;
class QMessageBox;

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

// The question at the first close, not yet shown; its buttons carry the CloseAction they stand
// for in the property "close_action".
QMessageBox* make_close_question(QWidget* parent);
// Asks it modally; closing the box without an answer is CloseAction::stay.
CloseAction ask_close_action(QWidget* parent);

class TrayController : public QObject {
  Q_OBJECT

 public:
  using CloseQuestion = std::function<CloseAction(QWidget* parent)>;

  TrayController(MainWindow& window, SettingsStore& settings, bool available = QSystemTrayIcon::isSystemTrayAvailable(),
                 CloseQuestion ask = ask_close_action, QObject* parent = nullptr);
  ~TrayController() override;

  bool available() const { return _available; }
  TrayState state() const { return _state; }
  QSystemTrayIcon& icon() { return _icon; }
  QMenu* menu() const { return _menu; }
  QAction* show_action() const { return _show; }
  QAction* toggle_action() const { return _toggle; }
  QAction* quit_action() const { return _quit; }

  // Shows the window, or with `minimized` (a start at log-on) leaves it hidden in the tray;
  // without a tray a minimized window stands in.
  void show_window(bool minimized);

 public slots:
  // A proxy fails the relayed connections (told once per proxy).
  void notify_proxy_failure(const QString& text);

 signals:
  // A notification was shown in the tray.
  void notified(const QString& title, const QString& text);
  // The user answered the question at the first close.
  void close_choice_made(bool to_tray);

 private:
  void _on_engine_state(EngineState state);
  void _set_state(TrayState state);
  void _notify(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon kind);
  CloseAction _decide_close();

  MainWindow& _window;
  SettingsStore& _settings;
  const bool _available;
  CloseQuestion _ask;
  QSystemTrayIcon _icon;
  QMenu* _menu;
  QAction* _show;
  QAction* _toggle;
  QAction* _quit;
  TrayState _state = TrayState::stopped;
  TrafficReading _traffic;
  QString _last_error;
  bool _stop_asked = false;
};

}  // namespace tovix::app
