#pragma once
// Puts the live connections, the traffic graph and the proxy check into the main window, and
// shows in its status when a proxy fails the relayed connections (once per proxy). The feed
// must be the one whose observer the window's engine was given (EngineOptions).
#include <vector>

#include "app/insight/proxy_check.h"

namespace tovix {
class SettingsStore;
}
namespace tovix::app {
class MainWindow;
}

namespace tovix::insight {

class ConnectionsPanel;
class FailureStatusFeed;
class ProxyCheckPanel;
class ProxyCheckService;
class TrafficPanel;

struct InsightPanels {
  ConnectionsPanel* connections = nullptr;
  TrafficPanel* traffic = nullptr;
  ProxyCheckPanel* checks = nullptr;
  ProxyCheckService* check_service = nullptr;
};

// The whitelist editor's what-is-my-IP sources, with their parsers.
std::vector<IpSource> public_ip_sources();

InsightPanels install_insight(app::MainWindow& window, SettingsStore& settings, FailureStatusFeed& failures,
                              std::vector<IpSource> sources = public_ip_sources());

}  // namespace tovix::insight
