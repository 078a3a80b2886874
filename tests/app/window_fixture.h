#pragma once
// Window tests share the process-wide settings store (the products dialog reads it), kept in a
// temporary folder and reset for every test; the engine runs on fake diverters.
#include <gtest/gtest.h>

#include "app/core/engine_controller.h"
#include "config/settings_store.h"
#include "engine/core/tunnel_engine.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/support/proxy_fixtures.h"
#include "tests/support/temp_dir.h"

namespace tovix::app {
class MainWindow;
}

namespace tovix::testing {

// The loopback proxy as an entry of the proxy list.
nlohmann::ordered_json proxy_of(const UpstreamProxy& proxy);
// Waits (30 s at most) until the window's engine is in `state`.
bool state_becomes(app::MainWindow& window, app::EngineState state);

// The one store of this test program, in a folder removed at exit.
SettingsStore& test_settings();

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Engine options whose every run opens a fresh FakeDiverter, kept in `diverters`.
  EngineOptions fake_engine();

  SettingsStore& settings = test_settings();
  DiverterSource diverters;
};

}  // namespace tovix::testing
