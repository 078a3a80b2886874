// Start-up: the settings, the log file, one instance at a time, then the window with its tray
// icon (or, with --headless, the engine alone on the console).
#include <QApplication>
#include <QCoreApplication>
#include <QTimer>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>

#include "app/autostart/autostart.h"
#include "app/core/headless_runner.h"
#include "app/core/log_file.h"
#include "app/core/network_restore.h"
#include "app/core/secret_redactor.h"
#include "app/core/single_instance.h"
#include "app/core/stop_signals.h"
#include "app/core/whitelist_auto_updater.h"
#include "app/insight/failure_status_feed.h"
#include "app/insight/proxy_failure_status.h"
#include "app/insight/window_insight.h"
#include "app/window/desktop_panel.h"
#include "app/window/main_window.h"
#include "app/window/tray_controller.h"
#include "common/logging.h"
#include "config/settings_store.h"
#include "engine/pool/usage_store.h"

namespace {

using namespace tovix;
using namespace tovix::app;

// The shell's own logger.
constexpr const char* LOGGER_SHELL = "ToVixProxy.App";

struct Options {
  bool headless = false;
  bool minimized = false;
  std::optional<std::filesystem::path> config;
  bool help = false;
  bool restore_network = false;
  std::string error;
};

Options parse_options(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--headless") == 0) {
      options.headless = true;
    } else if (std::strcmp(argv[i], MINIMIZED_OPTION) == 0) {
      options.minimized = true;
    } else if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      options.config = std::filesystem::u8path(argv[++i]);
    } else if (std::strcmp(argv[i], "--restore-network") == 0) {
      options.restore_network = true;
    } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      options.help = true;
    } else if (argv[i][0] == '-') {
      options.error = std::string("未知参数: ") + argv[i];
    }
  }
  return options;
}

void print_usage() {
  std::cout << "用法: tovixproxy [--headless] [--minimized] [--config 配置文件]\n"
               "       tovixproxy --restore-network\n"
               "  --headless         不打开窗口，按 config.json 启动代理引擎；Ctrl-C 或 SIGTERM 停止\n"
               "  --minimized        启动时窗口隐藏在系统托盘中（开机自动启动时使用）；没有系统托盘时最小化显示\n"
               "  --config           使用指定的配置文件（默认: 程序旁的 config.json）\n"
               "  --restore-network  清除异常退出的引擎遗留的分流规则（不启动引擎），并说明清除了什么\n";
}

// The engine tells a proxy's first failure of each episode, re-checks down proxies against the
// first what-is-my-IP service unless the settings name another destination, and counts each
// proxy's usage in a file beside the settings.
PoolOptions pool_options(const insight::FailureStatusFeed& failures, const SettingsStore& settings) {
  PoolOptions options;
  options.health_sink = failures.health_sink();
  options.usage = std::make_shared<pool::UsageStore>(pool::UsageStore::beside(settings.config_path()));
  const std::vector<insight::IpSource> sources = insight::public_ip_sources();
  if (!sources.empty()) options.default_test_url = sources.front().url;
  return options;
}

int run_headless(SettingsStore& settings, const std::shared_ptr<SecretRedactor>& redactor) {
  StopSignals stop_signals;
  insight::FailureStatusFeed proxy_failures;
  EngineOptions engine_options;
  engine_options.pool = pool_options(proxy_failures, settings);
  HeadlessRunner runner(settings, std::move(engine_options), std::cout);
  insight::show_proxy_failures(proxy_failures, runner.engine());
  WhitelistAutoUpdater whitelist(settings);
  runner.follow_whitelist(whitelist);
  QObject::connect(&runner.engine(), &EngineController::proxies_in_use, [redactor](const nlohmann::ordered_json& list) {
    redactor->set_secrets("engine", secrets_of({{"proxy_list", list}}));
  });
  QObject::connect(&stop_signals, &StopSignals::stop_requested, &runner, &HeadlessRunner::request_stop);
  QObject::connect(&runner, &HeadlessRunner::finished, QCoreApplication::instance(),
                   [](int code) { QCoreApplication::exit(code); });
  QTimer::singleShot(0, &runner, &HeadlessRunner::start);
  return QCoreApplication::exec();
}

int run_window(SettingsStore& settings, const std::shared_ptr<SecretRedactor>& redactor, SingleInstance& instance,
               const Options& options) {
  insight::FailureStatusFeed proxy_failures;
  EngineOptions engine_options;
  engine_options.pool = pool_options(proxy_failures, settings);
  MainWindow window(settings, std::move(engine_options));
  insight::install_insight(window, settings, proxy_failures);
  TrayController tray(window, settings);
  const auto program = std::filesystem::u8path(QCoreApplication::applicationFilePath().toStdString());
  auto* desktop =
      new DesktopPanel(settings, make_system_autostart(autostart_command(program, options.config)), tray.available());
  window.add_panel(desktop, QStringLiteral("启动与托盘"));
  QObject::connect(&tray, &TrayController::close_choice_made, desktop, &DesktopPanel::show_close_to_tray);
  QObject::connect(&proxy_failures, &insight::FailureStatusFeed::proxy_failed, &tray,
                   &TrayController::notify_proxy_failure);
  // The window may be hidden in the tray with only a dialog open: the program ends when the
  // window closes for good, not when the last visible window goes.
  QApplication::setQuitOnLastWindowClosed(false);
  QObject::connect(&window, &MainWindow::closed, QCoreApplication::instance(), &QCoreApplication::quit,
                   Qt::QueuedConnection);
  QObject::connect(&instance, &SingleInstance::activation_requested, &window, [&window] {
    get_logger(LOGGER_SHELL)->info("程序再次启动，切换到已打开的窗口");
    window.bring_forward();
  });
  QObject::connect(&window, &MainWindow::secrets_changed,
                   [&settings, redactor] { redactor->set_secrets("settings", secrets_of(settings.to_dict())); });
  QObject::connect(&window.engine(), &EngineController::proxies_in_use, [redactor](const nlohmann::ordered_json& list) {
    redactor->set_secrets("engine", secrets_of({{"proxy_list", list}}));
  });
  // Killed in the middle, a running engine would leave its diversion in place (on Linux the
  // queue rules hold every TCP packet until the next start): a stop signal quits, which stops
  // the engine first, also when closing would only hide the window in the tray.
  StopSignals stop_signals;
  QObject::connect(&stop_signals, &StopSignals::stop_requested, &window, &MainWindow::quit);
  tray.show_window(options.minimized);
  window.start_if_enabled();
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = parse_options(argc, argv);
  if (options.help || !options.error.empty()) {
    if (!options.error.empty()) std::cerr << options.error << '\n';
    print_usage();
    return options.error.empty() ? 0 : 2;
  }
  if (options.restore_network) {
    const NetworkRestore restored = restore_network();
    (restored.exit_code == 0 ? std::cout : std::cerr) << restored.message << std::endl;
    return restored.exit_code;
  }
  std::unique_ptr<QCoreApplication> app;
  if (options.headless) {
    app = std::make_unique<QCoreApplication>(argc, argv);
  } else {
    app = std::make_unique<QApplication>(argc, argv);
  }
  SettingsStore& settings = options.config ? SettingsStore::_instance_at(*options.config) : SettingsStore::instance();

  auto redactor = std::make_shared<SecretRedactor>();
  redactor->set_secrets("settings", secrets_of(settings.to_dict()));
  try {
    start_log_file(settings.config_path().parent_path(), redactor);
  } catch (const std::exception& e) {
    std::cerr << "无法打开日志文件: " << e.what() << '\n';
  }

  SingleInstance instance(SingleInstance::instance_key(settings.config_path()));
  if (!instance.acquire()) {
    std::cout << "云貂代理已在运行，已切换到正在运行的实例" << std::endl;
    return options.headless ? 1 : 0;
  }
  return options.headless ? run_headless(settings, redactor) : run_window(settings, redactor, instance, options);
}
