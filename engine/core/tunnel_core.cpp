#include "engine/core/tunnel_core.h"

namespace tovix {

TunnelCore::TunnelCore(QObject* parent, EngineOptions options)
    : QThread(parent), _engine(std::make_unique<TunnelEngine>(std::move(options))) {
  // Emitted from the engine thread or the caller's; Qt queues them to receivers elsewhere.
  _engine->set_status_callback([this](const std::string& text) { emit status_changed(QString::fromStdString(text)); });
  _engine->set_error_callback([this](const std::string& text) { emit error_occurred(QString::fromStdString(text)); });
}

TunnelCore::~TunnelCore() {
  _engine->set_status_callback(nullptr);
  _engine->set_error_callback(nullptr);
  if (_engine->is_running() || isRunning()) _engine->stop_engine();
  wait();
}

void TunnelCore::start_engine(nlohmann::ordered_json config_dict) {
  // A start while a run goes on restarts it; a previous thread gets a bounded time to end.
  if (_engine->is_running()) _engine->stop_engine();
  if (isRunning() && !wait(QDeadlineTimer(std::chrono::milliseconds(5000)))) {
    emit error_occurred(QStringLiteral("引擎异常: 上一次运行尚未结束"));
    return;
  }
  _engine->prepare_start(std::move(config_dict));
  start();
}

void TunnelCore::stop_engine() { _engine->stop_engine(); }

void TunnelCore::hot_update_all_proxies(nlohmann::ordered_json proxy_list) {
  _engine->hot_update_all_proxies(std::move(proxy_list));
}

std::pair<std::uint64_t, std::uint64_t> TunnelCore::get_traffic_stats() const { return _engine->get_traffic_stats(); }

void TunnelCore::run() { _engine->run(); }

}  // namespace tovix
