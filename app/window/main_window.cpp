#include "app/window/main_window.h"

#include <QCloseEvent>
#include <QLabel>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/window/account_panel.h"
#include "app/window/api_mode_panel.h"
#include "app/window/dark_style.h"
#include "app/window/driver_panel.h"
#include "app/window/engine_bar.h"
#include "app/window/process_list_panel.h"
#include "app/window/proxy_list_panel.h"
#include "app/window/rules_panel.h"
#include "app/window/whitelist_follow_box.h"
#include "common/json_values.h"
#include "config/settings_store.h"

namespace tovix::app {

MainWindow::MainWindow(SettingsStore& settings, EngineOptions engine_options, QWidget* parent)
    : QMainWindow(parent), _settings(settings), _engine(std::move(engine_options)) {
  setWindowTitle(QStringLiteral("云貂代理"));
  setStyleSheet(WINDOW_STYLE);
  resize(900, 640);
  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(16, 12, 16, 16);
  layout->setSpacing(10);
  _bar = new EngineBar(_engine);
  layout->addWidget(_bar);
  _tabs = new QTabWidget;
  layout->addWidget(_tabs, 1);
  setCentralWidget(central);

  auto* proxy_tab = new QWidget;
  auto* proxy_layout = new QVBoxLayout(proxy_tab);
  _proxies = new ProxyListPanel(settings);
  _api = new ApiModePanel(settings);
  proxy_layout->addWidget(_proxies, 1);
  proxy_layout->addWidget(_api);
  _tabs->addTab(proxy_tab, QStringLiteral("代理列表"));
  _processes = new ProcessListPanel(settings);
  auto* process_tab = new QWidget;
  (new QVBoxLayout(process_tab))->addWidget(_processes);
  _tabs->addTab(process_tab, QStringLiteral("代理应用"));
  _rules = new RulesPanel(settings);
  auto* rules_tab = new QWidget;
  (new QVBoxLayout(rules_tab))->addWidget(_rules);
  _tabs->addTab(rules_tab, QStringLiteral("分流规则"));
  _driver = new DriverPanel;
  auto* driver_tab = new QWidget;
  (new QVBoxLayout(driver_tab))->addWidget(_driver);
  _tabs->addTab(driver_tab, QStringLiteral("驱动"));
  _account = new AccountPanel(settings);
  auto* account_tab = new QWidget;
  (new QVBoxLayout(account_tab))->addWidget(_account);
  _tabs->addTab(account_tab, QStringLiteral("账户"));

  connect(_bar, &EngineBar::start_requested, this, &MainWindow::start_engine);
  connect(_bar, &EngineBar::stop_requested, this, &MainWindow::stop_engine);
  connect(&_engine, &EngineController::state_changed, this, &MainWindow::_on_engine_state);
  connect(&_engine, &EngineController::api_status, _api, &ApiModePanel::show_api_status);
  connect(&_engine, &EngineController::state_changed, _account->whitelist_box(), [this](EngineState state) {
    if (state == EngineState::running) _account->whitelist_box()->engine_started();
  });
  connect(_proxies, &ProxyListPanel::proxies_changed, this, [this](const nlohmann::ordered_json& list) {
    _engine.set_manual_proxies(list);
    emit secrets_changed();
  });
  // The rules name proxies by position: their texts follow the list.
  connect(_proxies, &ProxyListPanel::proxies_changed, _rules, &RulesPanel::reload);
  // A running engine takes changed rules and the name switch for its next connections.
  connect(_rules, &RulesPanel::rules_changed, this, [this] { _engine.set_routing(_settings.to_dict()); });
  connect(_rules, &RulesPanel::names_at_proxy_changed, this, [this] { _engine.set_routing(_settings.to_dict()); });
  connect(_account, &AccountPanel::proxies_imported, _proxies, &ProxyListPanel::add_entries);
  connect(_account, &AccountPanel::api_link_received, _api, &ApiModePanel::fill_link);
  connect(_account, &AccountPanel::api_credentials_received, this,
          [this](const QString& url, const QString& user, const QString& password) {
            _api->fill_credentials(url, user, password);
            emit secrets_changed();
          });
  connect(_account, &AccountPanel::signed_out, this, &MainWindow::secrets_changed);
  connect(_api, &ApiModePanel::settings_edited, this, &MainWindow::secrets_changed);
  connect(_account, &AccountPanel::signed_in, this, &MainWindow::secrets_changed);
}

MainWindow::~MainWindow() { _engine.shutdown(); }

void MainWindow::add_panel(QWidget* panel, const QString& title) { _tabs->addTab(panel, title); }

void MainWindow::bring_forward() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void MainWindow::start_if_enabled() {
  if (is_truthy(_settings.enabled())) start_engine();
}

void MainWindow::start_engine() {
  if (_engine.state() != EngineState::stopped) return;
  _user_stopped = false;
  _settings.set_enabled(true);
  _engine.start(_settings.to_dict());
}

void MainWindow::stop_engine() {
  _user_stopped = true;
  _settings.set_enabled(false);
  _engine.stop();
}

void MainWindow::_on_engine_state(EngineState state) {
  // An engine that ended by itself (no proxy, no rights) is off for the next start too.
  if (state == EngineState::stopped && !_user_stopped) _settings.set_enabled(false);
}

void MainWindow::quit() {
  _quitting = true;
  close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  const CloseAction action = _quitting || _closed || !_close_decision ? CloseAction::quit : _close_decision();
  if (action != CloseAction::quit) {
    if (action == CloseAction::hide) hide();
    event->ignore();
    return;
  }
  // Closing is not switching off: `enabled` keeps the user's choice for the next start.
  hide();
  event->accept();
  if (_closed) return;
  _closed = true;
  _user_stopped = true;
  _engine.shutdown();
  emit closed();
}

}  // namespace tovix::app
