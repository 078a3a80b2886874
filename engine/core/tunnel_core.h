#pragma once
// TunnelCore: the engine as a QThread. Its run() drives the Qt-free TunnelEngine
// (tunnel_engine.h) and turns the engine's status and error callbacks into the two signals,
// which reach receivers in other threads queued (Qt's automatic connection).
//
// Built only with Qt (TOVIX_WITH_QT, not the Windows cross build), in the tunnel_core library.
#include <QObject>
#include <QString>
#include <QThread>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "engine/core/tunnel_core_export.h"
#include "engine/core/tunnel_engine.h"

namespace tovix {

class TUNNEL_CORE_EXPORT TunnelCore : public QThread {
  Q_OBJECT

 public:
  // `options` carries the injected diverter factory (default: the platform's own diverter,
  // make_system_diverter), an injectable clock and the clean-up period for tests.
  explicit TunnelCore(QObject* parent = nullptr, EngineOptions options = {});
  // Stops a run still going and waits for the thread.
  ~TunnelCore() override;

  // start_engine waits (bounded) for a previous run's thread to end, resolves the
  // names on the caller's thread, then starts the thread. stop_engine returns at once after
  // ending the relays and clearing the tables; the thread emits "已停" again when it ends.
  void start_engine(nlohmann::ordered_json config_dict);
  void stop_engine();
  void hot_update_all_proxies(nlohmann::ordered_json proxy_list);
  std::pair<std::uint64_t, std::uint64_t> get_traffic_stats() const;

  // The live-connections view: safe from any thread, cheap (copies what the relays count).
  EngineSnapshot snapshot() const { return _engine->snapshot(); }
  std::vector<ConnectionInfo> connections_snapshot() const { return _engine->connections_snapshot(); }
  std::vector<RelayTraffic> relay_traffic() const { return _engine->relay_traffic(); }

  bool is_engine_running() const { return _engine->is_running(); }
  TunnelEngine& engine() { return *_engine; }

 signals:
  void status_changed(const QString& text);
  void error_occurred(const QString& text);

 protected:
  void run() override;

 private:
  std::unique_ptr<TunnelEngine> _engine;
};

}  // namespace tovix
