#include "app/core/headless_runner.h"

#include "app/core/whitelist_auto_updater.h"
#include "config/settings_store.h"

namespace tovix::app {

HeadlessRunner::HeadlessRunner(SettingsStore& settings, EngineOptions options, std::ostream& out, QObject* parent)
    : QObject(parent), _settings(settings), _out(out), _controller(std::move(options)) {
  connect(&_controller, &EngineController::status_text, this, [this](const QString& text) { _print("状态", text); });
  connect(&_controller, &EngineController::error_text, this, [this](const QString& text) { _print("错误", text); });
  connect(&_controller, &EngineController::api_status, this,
          [this](const QString& text, bool) { _print("API", text); });
  connect(&_controller, &EngineController::state_changed, this, &HeadlessRunner::_on_state);
  _traffic_timer.setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(HEADLESS_TRAFFIC_PERIOD));
  connect(&_traffic_timer, &QTimer::timeout, this,
          [this] { _print("流量", QString::fromStdString(format_traffic(_meter.sample(_controller.traffic())))); });
}

void HeadlessRunner::start() {
  _print("启动", QString::fromStdString("配置文件 " + _settings.config_path().lexically_normal().string()));
  _meter.reset();
  _meter.sample(_controller.traffic());
  _traffic_timer.start();
  _controller.start(_settings.to_dict());
}

void HeadlessRunner::request_stop() {
  if (_stop_requested) return;
  _stop_requested = true;
  _print("停止", QStringLiteral("正在停止..."));
  if (_controller.state() == EngineState::stopped) {
    _on_state(EngineState::stopped);
  } else {
    _controller.stop();
  }
}

void HeadlessRunner::_on_state(EngineState state) {
  if (state != EngineState::stopped || _finished) return;
  _finished = true;
  _traffic_timer.stop();
  _controller.shutdown();
  emit finished(_stop_requested ? 0 : HEADLESS_ENGINE_FAILED);
}

void HeadlessRunner::follow_whitelist(WhitelistAutoUpdater& updater) {
  connect(&_controller, &EngineController::state_changed, &updater, [&updater](EngineState state) {
    if (state == EngineState::running) updater.check_now();
  });
  connect(&updater, &WhitelistAutoUpdater::checked, this,
          [this](const QString& text, bool) { _print("白名单", text); });
}

HeadlessRunner::~HeadlessRunner() { _controller.disconnect(this); }

void HeadlessRunner::_print(const char* tag, const QString& text) {
  _out << '[' << tag << "] " << text.toStdString() << std::endl;
}

}  // namespace tovix::app
