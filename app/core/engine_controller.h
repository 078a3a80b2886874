#pragma once
// Drives the engine for the window and for headless mode alike. Every engine call that may
// block (start_engine resolves names and waits for a previous run, a hot update resolves and
// restarts relays) runs on a control thread of its own, in the order asked, so the GUI thread
// never waits on the network. In API mode the proxies come from the extraction link: fetched
// before the start, then again every interval and handed to the running engine.
#include <QObject>
#include <QString>
#include <QThread>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include <nlohmann/json.hpp>

#include "app/core/api_refresher.h"
#include "engine/core/tunnel_core.h"

namespace tovix::app {

using Json = nlohmann::ordered_json;

enum class EngineState { stopped, starting, running, stopping };

inline constexpr std::chrono::seconds ENGINE_SHUTDOWN_TIMEOUT{10};

class EngineController : public QObject {
  Q_OBJECT

 public:
  explicit EngineController(EngineOptions options = {}, QObject* parent = nullptr);
  ~EngineController() override;

  // `settings` is a copy of the settings record; ignored unless stopped.
  void start(Json settings);
  void stop();
  // The user's proxy list changed: the running engine takes it at once, unless the API mode
  // supplies the proxies.
  void set_manual_proxies(Json proxy_list);
  // The routing rules and the name switch of `settings`, for a running engine's next
  // connections (a start reads them anyway).
  void set_routing(Json settings);
  // In API mode while running: fetch the extraction link now instead of at the next interval.
  void refresh_api_now();
  // Stops the engine and waits for the control and engine threads; false when one did not end
  // within the time-out.
  bool shutdown(std::chrono::milliseconds timeout = ENGINE_SHUTDOWN_TIMEOUT);

  EngineState state() const { return _state; }
  bool api_mode() const { return _api_mode; }
  // (uploaded, downloaded) bytes of this run.
  std::pair<std::uint64_t, std::uint64_t> traffic() const { return _core->get_traffic_stats(); }
  TunnelCore& core() { return *_core; }

 signals:
  void state_changed(tovix::app::EngineState state);
  // The engine's own status and error texts, as they come.
  void status_text(const QString& text);
  void error_text(const QString& text);
  // How the API mode fares (fetching, refreshed, failed and why).
  void api_status(const QString& text, bool ok);
  // The proxy list handed to the engine (at a start and with every update).
  void proxies_in_use(const nlohmann::ordered_json& proxy_list);

 private:
  void _set_state(EngineState state);
  void _post(std::function<void()> command);
  void _start_engine(Json settings);
  void _on_engine_finished();
  void _on_api_proxies(const Json& entries);
  void _on_api_failure(const QString& reason);

  std::unique_ptr<TunnelCore> _core;
  QThread _control_thread;
  QObject* _control = nullptr;  // lives on _control_thread; commands run in its event loop
  ApiRefresher _refresher;
  EngineState _state = EngineState::stopped;
  Json _settings = Json::object();
  bool _api_mode = false;
  bool _awaiting_first_fetch = false;
};

}  // namespace tovix::app
