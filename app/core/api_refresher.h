#pragma once
// API mode: fetches the extraction link at once and then every interval, one fetch at a time,
// each on a worker thread of its own. A failed fetch or an answer without any address reports
// why and changes nothing.
#include <QObject>
#include <QPointer>
#include <QTimer>

#include "app/core/api_fetch_worker.h"

namespace tovix::app {

// Shorter settings intervals are raised to this, so a typo cannot hammer the vendor.
inline constexpr int API_MIN_INTERVAL_SECONDS = 5;
inline constexpr int API_DEFAULT_INTERVAL_SECONDS = 30;

class ApiRefresher : public QObject {
  Q_OBJECT

 public:
  explicit ApiRefresher(QObject* parent = nullptr);
  ~ApiRefresher() override;

  void start(ApiFetchRequest request, int interval_seconds);
  void stop();
  bool is_active() const { return _timer.isActive(); }
  int interval_seconds() const { return _timer.interval() / 1000; }
  bool is_fetching() const { return !_worker.isNull(); }
  // A fetch now, unless one is under way.
  void fetch_now();

 signals:
  void proxies_fetched(const nlohmann::ordered_json& entries);
  void fetch_failed(const QString& reason);

 private:
  void _on_fetched(const ApiFetchOutcome& outcome);

  QTimer _timer;
  ApiFetchRequest _request;
  QPointer<ApiFetchWorker> _worker;
};

}  // namespace tovix::app
