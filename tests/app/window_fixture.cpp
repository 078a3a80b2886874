#include "tests/app/window_fixture.h"

#include "app/core/settings_keys.h"

namespace tovix::testing {

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
