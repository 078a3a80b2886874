#pragma once
// Window tests share the process-wide settings store (the products dialog reads it), kept in a
// temporary folder and reset for every test; the engine runs on fake diverters.
#include <gtest/gtest.h>

#include <memory>

#include "config/settings_store.h"
#include "engine/core/tunnel_engine.h"
#include "engine/divert/fake_diverter.h"
#include "tests/support/temp_dir.h"

namespace tovix::testing {

// The one store of this test program, in a folder removed at exit.
SettingsStore& test_settings();

// Forwards to a FakeDiverter the test keeps, so it can be scripted and inspected after a run.
class KeptDiverter final : public PacketDiverter {
 public:
  explicit KeptDiverter(std::shared_ptr<FakeDiverter> fake) : _fake(std::move(fake)) {}
  void register_driver() override { _fake->register_driver(); }
  void open(const std::string& filter) override { _fake->open(filter); }
  void set_param(DivertParam param, std::uint64_t value) override { _fake->set_param(param, value); }
  std::optional<Packet> recv() override { return _fake->recv(); }
  void send(const Packet& packet) override { _fake->send(packet); }
  void recalculate_checksums(Packet& packet) override { _fake->recalculate_checksums(packet); }
  void shutdown() noexcept override { _fake->shutdown(); }
  void close() noexcept override { _fake->close(); }
  bool is_open() const noexcept override { return _fake->is_open(); }

 private:
  std::shared_ptr<FakeDiverter> _fake;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override;
  // Engine options whose every run opens a fresh FakeDiverter (the last one is `diverter`).
  EngineOptions fake_engine();

  SettingsStore& settings = test_settings();
  std::shared_ptr<FakeDiverter> diverter;
};

}  // namespace tovix::testing
