#pragma once
// Runs the whitelist follower (whitelist_follower.h) while the user has it switched on: at once
// when switched on, every PERIOD, and when the engine starts; each check on a worker thread.
// What a check found is told through `checked` once: the same text twice in a row is not
// repeated (a console that keeps refusing, a network that stays down) unless a quiet check
// (the address unchanged) came between.
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>

#include "app/core/task_worker.h"
#include "app/core/whitelist_follower.h"

namespace tovix {
class SettingsStore;
}

namespace tovix::app {

class WhitelistAutoUpdater : public QObject {
  Q_OBJECT

 public:
  static constexpr std::chrono::minutes PERIOD{5};

  // `lookup` defaults to the public-IP services of the whitelist editor.
  explicit WhitelistAutoUpdater(SettingsStore& settings, WhitelistFollower::AddressLookup lookup = {},
                                QObject* parent = nullptr);
  ~WhitelistAutoUpdater() override;

  bool enabled() const;
  // Stores the choice; switching on checks at once.
  void set_enabled(bool on);
  // A check now, when switched on and none is running.
  void check_now();
  bool is_checking() const { return !_worker.isNull(); }
  QTimer* timer() { return &_timer; }

 signals:
  // ok: the whitelists are as they should be (or the address was only noted).
  void checked(const QString& text, bool ok);

 private:
  void _on_result(const nlohmann::ordered_json& result);

  SettingsStore& _settings;
  WhitelistFollower::AddressLookup _lookup;
  QTimer _timer;
  QPointer<TaskWorker> _worker;
  QString _last_told;
};

}  // namespace tovix::app
