#include "app/insight/window_insight.h"

#include <QTableWidget>
#include <QVBoxLayout>

#include "app/insight/connections_panel.h"
#include "app/insight/engine_readings.h"
#include "app/insight/program_resolver.h"
#include "app/insight/proxy_check_panel.h"
#include "app/insight/proxy_check_service.h"
#include "app/insight/proxy_failure_status.h"
#include "app/insight/traffic_panel.h"
#include "app/window/main_window.h"
#include "app/window/proxy_list_panel.h"
#include "config/settings_store.h"
#include "engine/pool/pool_readings.h"
#include "engine/relay/nat_table.h"
#include "ui/plan_dialog/public_ip_sources.h"

namespace tovix::insight {
namespace {

double steady_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The main proxy list marks a proxy whose last check failed, as the check tab does.
void mark_failed_proxies(app::ProxyListPanel& list, const ProxyCheckService& service,
                         const nlohmann::ordered_json& proxies) {
  QTableWidget* table = list.table();
  for (int row = 0; row < table->rowCount(); ++row) {
    if (!proxies.is_array() || row >= static_cast<int>(proxies.size())) break;
    const std::string key = proxy_key(proxies[static_cast<std::size_t>(row)]);
    const auto result = service.last_result(key);
    const bool failed = service.failed_last_check(key);
    for (int column = 0; column < table->columnCount(); ++column) {
      QTableWidgetItem* item = table->item(row, column);
      if (item == nullptr) continue;
      item->setForeground(failed ? QColor("#f38ba8") : QColor("#cdd6f4"));
      item->setToolTip(failed ? QStringLiteral("上次检测失败: ") + QString::fromStdString(result->error) : QString());
    }
  }
}

}  // namespace

std::vector<IpSource> public_ip_sources() {
  std::vector<IpSource> sources;
  for (const PublicIpSource& source : default_public_ip_sources()) {
    sources.push_back(
        {source.url, [parser = source.parser](std::string_view body) { return parse_public_ip(body, parser); }});
  }
  return sources;
}

InsightPanels install_insight(app::MainWindow& window, SettingsStore& settings, FailureStatusFeed& failures,
                              std::vector<IpSource> sources) {
  app::EngineController& engine = window.engine();
  InsightPanels panels;
  // In global mode the engine does not know who owns a connection; the table names it itself.
  auto programs = std::make_shared<ProgramResolver>(platform_process_queries());
  panels.connections = new ConnectionsPanel(
      [&engine, programs] {
        std::vector<ConnectionSample> live = connection_samples(engine.core().snapshot());
        programs->fill_in(live);
        return live;
      },
      nat_clock_now);
  panels.traffic = new TrafficPanel([&engine] { return traffic_reading(engine.core().snapshot()); }, steady_seconds);
  panels.check_service = new ProxyCheckService(std::move(sources), &window);
  panels.checks = new ProxyCheckPanel(panels.check_service);

  auto* activity = new QWidget;
  auto* activity_layout = new QVBoxLayout(activity);
  activity_layout->addWidget(panels.connections, 3);
  activity_layout->addWidget(panels.traffic, 2);
  window.add_panel(activity, QStringLiteral("连接与流量"));
  auto* checks = new QWidget;
  (new QVBoxLayout(checks))->addWidget(panels.checks);
  window.add_panel(checks, QStringLiteral("代理检测"));

  // The proxies to check: the user's list, or in API mode the list the engine was handed.
  app::ProxyListPanel* list = window.proxy_panel();
  ProxyCheckService* service = panels.check_service;
  panels.checks->set_proxies(settings.proxy_list());
  QObject::connect(list, &app::ProxyListPanel::proxies_changed, panels.checks,
                   [panel = panels.checks, list, service](const nlohmann::ordered_json& proxies) {
                     panel->set_proxies(proxies);
                     mark_failed_proxies(*list, *service, proxies);
                   });
  QObject::connect(&engine, &app::EngineController::proxies_in_use, panels.checks,
                   [panel = panels.checks, &engine](const nlohmann::ordered_json& proxies) {
                     if (engine.api_mode()) panel->set_proxies(proxies);
                   });
  QObject::connect(service, &ProxyCheckService::check_finished, list,
                   [list, service, &settings] { mark_failed_proxies(*list, *service, settings.proxy_list()); });

  // Each proxy's state as the engine's tracker has it, and its usage as the engine counts it.
  auto readings = std::make_shared<const pool::TrackedPoolReadings>(engine.core().engine().proxy_health(),
                                                                    engine.core().engine().proxy_usage());
  list->set_pool_readings(readings);
  panels.checks->set_pool_readings(readings);

  show_proxy_failures(failures, engine);
  return panels;
}

}  // namespace tovix::insight
