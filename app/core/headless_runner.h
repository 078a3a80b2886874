#pragma once
// Headless mode: the engine started from config.json without a window. Prints the status and
// error texts as they come, the traffic every HEADLESS_TRAFFIC_PERIOD, and stops cleanly when
// asked (Ctrl-C, SIGTERM); `finished` carries the process exit code. With the whitelist option
// on, the whitelists follow the public address as in the window (checked at each engine start
// and every few minutes), each result printed once.
#include <QObject>
#include <QTimer>
#include <chrono>
#include <ostream>

#include "app/core/engine_controller.h"
#include "app/core/traffic_meter.h"

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class WhitelistAutoUpdater;

inline constexpr std::chrono::seconds HEADLESS_TRAFFIC_PERIOD{5};
// The engine ended by itself (a start failure, no proxy): the exit code says so.
inline constexpr int HEADLESS_ENGINE_FAILED = 1;

class HeadlessRunner : public QObject {
  Q_OBJECT

 public:
  HeadlessRunner(SettingsStore& settings, EngineOptions options, std::ostream& out, QObject* parent = nullptr);
  // Stops a running engine without telling this runner, whose members go first.
  ~HeadlessRunner() override;

  void start();
  void request_stop();
  EngineController& engine() { return _controller; }
  // Checks at every engine start and prints what `updater` tells.
  void follow_whitelist(WhitelistAutoUpdater& updater);

 signals:
  void finished(int exit_code);

 private:
  void _print(const char* tag, const QString& text);
  void _on_state(EngineState state);

  SettingsStore& _settings;
  std::ostream& _out;
  EngineController _controller;
  TrafficMeter _meter;
  QTimer _traffic_timer;
  bool _stop_requested = false;
  bool _finished = false;
};

}  // namespace tovix::app
