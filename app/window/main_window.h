#pragma once
// The main window: the engine bar on top and one tab per concern below (proxies with the API
// mode, chosen applications, routing rules, driver, account). Further panels join as tabs
// (add_panel). Closing the window stops the engine and waits for its threads, unless the close
// decision (the tray's) keeps the program running with the window hidden.
#include <QMainWindow>
#include <functional>

#include "app/core/engine_controller.h"

class QTabWidget;

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class AccountPanel;
class ApiModePanel;
class DriverPanel;
class EngineBar;
class ProcessListPanel;
class ProxyListPanel;
class RulesPanel;

// What closing the window does: quit the program, hide the window (the program runs on in the
// tray), or nothing (the user changed their mind).
enum class CloseAction { quit, hide, stay };

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  MainWindow(SettingsStore& settings, EngineOptions engine_options = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  void add_panel(QWidget* panel, const QString& title);
  // A second start of the application asked for this window.
  void bring_forward();
  // Starts the engine when the user left it switched on (the `enabled` setting).
  void start_if_enabled();
  void start_engine();
  void stop_engine();
  // Closes for good, whatever the close decision says: the engine stops first.
  void quit();
  // Asked at each close by the user; unset, closing quits.
  void set_close_decision(std::function<CloseAction()> decide) { _close_decision = std::move(decide); }

  EngineController& engine() { return _engine; }
  EngineBar* engine_bar() const { return _bar; }
  QTabWidget* tabs() const { return _tabs; }
  ProxyListPanel* proxy_panel() const { return _proxies; }
  ApiModePanel* api_panel() const { return _api; }
  ProcessListPanel* process_panel() const { return _processes; }
  RulesPanel* rules_panel() const { return _rules; }
  DriverPanel* driver_panel() const { return _driver; }
  AccountPanel* account_panel() const { return _account; }

 signals:
  // A password or token in the settings may have changed (the log redactor re-reads them).
  void secrets_changed();
  // The window closed for good and the engine has stopped: the program may end.
  void closed();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void _on_engine_state(EngineState state);

  SettingsStore& _settings;
  EngineController _engine;
  EngineBar* _bar;
  QTabWidget* _tabs;
  ProxyListPanel* _proxies;
  ApiModePanel* _api;
  ProcessListPanel* _processes;
  RulesPanel* _rules;
  DriverPanel* _driver;
  AccountPanel* _account;
  bool _user_stopped = false;
  std::function<CloseAction()> _close_decision;
  bool _quitting = false;
  bool _closed = false;
};

}  // namespace tovix::app
