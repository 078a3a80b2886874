#include "tests/app/window_fixture.h"

#include <QDeadlineTimer>
#include <QSignalSpy>

#include "app/core/proxy_text.h"
#include "app/core/settings_keys.h"
#include "app/window/main_window.h"

namespace tovix::testing {

nlohmann::ordered_json proxy_of(const UpstreamProxy& proxy) {
  return app::make_proxy_entry(proxy.type(), "127.0.0.1", proxy.port(), PROXY_USER, PROXY_PASSWORD);
}

bool state_becomes(app::MainWindow& window, app::EngineState state) {
  if (window.engine().state() == state) return true;
  QSignalSpy states(&window.engine(), &app::EngineController::state_changed);
  QDeadlineTimer deadline(30000);
  while (!deadline.hasExpired() && window.engine().state() != state) {
    if (!states.wait(static_cast<int>(deadline.remainingTime()))) break;
  }
  return window.engine().state() == state;
}

SettingsStore& test_settings() {
  static TempDir* folder = new TempDir;  // outlives every test; removed by the OS temp clean-up
  return SettingsStore::_instance_at(folder->path() / "config.json");
}

void WindowTest::SetUp() {
  const nlohmann::ordered_json defaults = default_settings();
  for (const auto& [key, value] : defaults.items()) settings.set(key, value);
  settings.set("proxy_list", nlohmann::ordered_json::array());
  settings.set(app::API_PROXY_TYPE_KEY, "socks5");
  // Keys beside the defaults that a test may have changed.
  for (const char* key : {"pid_mode", "per_connection_mode", "auto_update_whitelist"}) settings.set(key, false);
}

EngineOptions WindowTest::fake_engine() {
  EngineOptions options;
  options.diverter_factory = diverters.factory();
  return options;
}

}  // namespace tovix::testing
