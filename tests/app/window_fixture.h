#pragma once
// Window tests share the process-wide settings store (the products dialog reads it), kept in a
// temporary folder and reset for every test; the engine runs on fake diverters.
#include <gtest/gtest.h>

#include "config/settings_store.h"
#include "engine/core/tunnel_engine.h"
#include "tests/engine/core/engine_test_support.h"
#include "tests/support/temp_dir.h"

namespace tovix::testing {

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
