#include "app/core/engine_controller.h"

#include <QDeadlineTimer>

#include "app/core/proxy_text.h"
#include "app/core/settings_keys.h"
#include "common/json_values.h"
#include "common/logging.h"
#include "engine/rules/rule_json.h"

namespace tovix::app {
namespace {

std::string text_setting(const Json& settings, const char* key) {
  return settings.contains(key) && settings[key].is_string() ? settings[key].get<std::string>() : std::string();
}

int interval_setting(const Json& settings) {
  try {
    return settings.contains("api_interval") ? static_cast<int>(to_integer(settings["api_interval"])) : 0;
  } catch (const std::exception&) {
    return 0;
  }
}

QString engine_failure(const char* what, const std::exception& e) {
  return QString::fromUtf8(what) + QString::fromStdString(e.what());
}

}  // namespace

EngineController::EngineController(EngineOptions options, QObject* parent)
    : QObject(parent), _core(std::make_unique<TunnelCore>(nullptr, std::move(options))) {
  connect(_core.get(), &TunnelCore::status_changed, this, [this](const QString& text) {
    // Running only once the diversion is open: before that, connections still go direct.
    if (_state == EngineState::starting && text.startsWith(QString::fromUtf8(STATUS_STARTED_PREFIX))) {
      _set_state(EngineState::running);
    }
    emit status_text(text);
  });
  connect(_core.get(), &TunnelCore::error_occurred, this, &EngineController::error_text);
  connect(_core.get(), &QThread::finished, this, &EngineController::_on_engine_finished);
  connect(&_refresher, &ApiRefresher::proxies_fetched, this, &EngineController::_on_api_proxies);
  connect(&_refresher, &ApiRefresher::fetch_failed, this, &EngineController::_on_api_failure);
  _control = new QObject;
  _control->moveToThread(&_control_thread);
  connect(&_control_thread, &QThread::finished, _control, &QObject::deleteLater);
  _control_thread.start();
}

EngineController::~EngineController() {
  if (!shutdown()) {
    // A name look-up of a start still blocks the control thread; its objects must outlive it.
    _control_thread.wait();
    _core->stop_engine();
    _core->wait();
  }
}

void EngineController::_post(std::function<void()> command) {
  QMetaObject::invokeMethod(_control, std::move(command), Qt::QueuedConnection);
}

void EngineController::_set_state(EngineState state) {
  if (_state == state) return;
  _state = state;
  emit state_changed(state);
}

void EngineController::start(Json settings) {
  if (_state != EngineState::stopped || !settings.is_object()) return;
  _settings = std::move(settings);
  _api_mode = is_truthy(_settings.value("api_use", Json(false))) && !text_setting(_settings, "api_url").empty();
  _set_state(EngineState::starting);
  if (!_api_mode) {
    _start_engine(_settings);
    return;
  }
  std::string type = text_setting(_settings, API_PROXY_TYPE_KEY);
  if (type != PROXY_TYPE_HTTP) type = PROXY_TYPE_SOCKS5;
  _awaiting_first_fetch = true;
  emit api_status(QStringLiteral("正在从 API 提取代理..."), true);
  _refresher.start({text_setting(_settings, "api_url"), type, text_setting(_settings, "api_user"),
                    text_setting(_settings, "api_pass")},
                   interval_setting(_settings));
}

void EngineController::_start_engine(Json settings) {
  emit proxies_in_use(settings.value("proxy_list", Json::array()));
  _post([this, settings = std::move(settings)]() mutable {
    QString failure;
    try {
      _core->start_engine(std::move(settings));
    } catch (const std::exception& e) {
      failure = engine_failure("引擎启动失败: ", e);
    }
    QMetaObject::invokeMethod(this, [this, failure] {
      if (failure.isEmpty()) return;
      emit error_text(failure);
      if (!_core->isRunning()) _on_engine_finished();
    });
  });
}

void EngineController::stop() {
  if (_state == EngineState::stopped || _state == EngineState::stopping) return;
  _refresher.stop();
  const bool waiting_for_api = _awaiting_first_fetch;
  _awaiting_first_fetch = false;
  _set_state(EngineState::stopping);
  if (waiting_for_api) {
    // The engine was never started: nothing runs that could end later.
    _on_engine_finished();
    emit status_text(QString::fromUtf8(STATUS_STOPPED));
    return;
  }
  _post([this] {
    _core->stop_engine();
    QMetaObject::invokeMethod(this, [this] {
      if (!_core->isRunning() && _state == EngineState::stopping) _on_engine_finished();
    });
  });
}

void EngineController::_on_engine_finished() {
  // A start still queued on the control thread will start the thread again; then this end
  // belonged to the previous run.
  if (_state == EngineState::starting && !_awaiting_first_fetch && _core->isRunning()) return;
  _refresher.stop();
  _awaiting_first_fetch = false;
  _set_state(EngineState::stopped);
}

void EngineController::set_manual_proxies(Json proxy_list) {
  if (_api_mode) return;
  _settings["proxy_list"] = proxy_list;
  if (_state != EngineState::running) return;
  emit proxies_in_use(proxy_list);
  _post([this, proxy_list = std::move(proxy_list)]() mutable {
    try {
      _core->hot_update_all_proxies(std::move(proxy_list));
    } catch (const std::exception& e) {
      const QString failure = engine_failure("代理更新失败: ", e);
      QMetaObject::invokeMethod(this, [this, failure] { emit error_text(failure); });
    }
  });
}

void EngineController::set_routing(Json settings) {
  for (const char* key : {ROUTE_RULES_KEY, RESOLVE_NAMES_AT_PROXY_KEY}) {
    if (settings.contains(key)) _settings[key] = settings[key];
  }
  if (_state != EngineState::running) return;
  _post([this, settings = std::move(settings)] { _core->engine().update_routing(settings); });
}

void EngineController::refresh_api_now() {
  if (_api_mode && _state == EngineState::running) _refresher.fetch_now();
}

void EngineController::_on_api_proxies(const Json& entries) {
  const QString count = QString::number(entries.size());
  get_logger(LOGGER_ENGINE)->info("API 提取到 {} 个代理", entries.size());
  if (_awaiting_first_fetch) {
    _awaiting_first_fetch = false;
    emit api_status(QStringLiteral("API 提取到 %1 个代理").arg(count), true);
    _settings["proxy_list"] = entries;
    _start_engine(_settings);
    return;
  }
  if (_state != EngineState::running) return;
  emit api_status(QStringLiteral("API 刷新: 提取到 %1 个代理").arg(count), true);
  emit proxies_in_use(entries);
  _post([this, entries] {
    try {
      _core->hot_update_all_proxies(entries);
    } catch (const std::exception& e) {
      const QString failure = engine_failure("代理更新失败: ", e);
      QMetaObject::invokeMethod(this, [this, failure] { emit error_text(failure); });
    }
  });
}

void EngineController::_on_api_failure(const QString& reason) {
  get_logger(LOGGER_ENGINE)->warn("API 提取失败: {}", reason.toStdString());
  if (!_awaiting_first_fetch) {
    emit api_status(QStringLiteral("API 提取失败（保留当前代理）: ") + reason, false);
    return;
  }
  // No list from the API yet: start with the proxies the user listed, if any, so the engine
  // says plainly when there are none.
  _awaiting_first_fetch = false;
  emit api_status(QStringLiteral("API 提取失败，使用代理列表启动: ") + reason, false);
  _start_engine(_settings);
}

bool EngineController::shutdown(std::chrono::milliseconds timeout) {
  _refresher.stop();
  _awaiting_first_fetch = false;
  // Asked to end like a stop: whoever watches the states must not take it for a failure.
  if (_state != EngineState::stopped) _set_state(EngineState::stopping);
  const QDeadlineTimer deadline(timeout.count());
  if (_control_thread.isRunning()) {
    // Behind every command asked before, so a start still queued is undone too.
    _post([this] {
      _core->stop_engine();
      _control_thread.quit();
    });
    if (!_control_thread.wait(deadline)) return false;
  }
  if (_core->isRunning()) {
    _core->stop_engine();
    if (!_core->wait(deadline)) return false;
  }
  _set_state(EngineState::stopped);
  return true;
}

}  // namespace tovix::app
