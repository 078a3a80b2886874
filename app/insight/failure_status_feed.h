#pragma once
// Brings the once-per-proxy failure notices from the relays' connection threads to the GUI
// thread as proxy_failed(text). Give observer() to the engine for its relays.
#include <QObject>
#include <QString>

#include <memory>

#include "app/insight/app_insight_export.h"
#include "app/insight/proxy_failure_notices.h"

namespace tovix::insight {

class APP_INSIGHT_EXPORT FailureStatusFeed : public QObject {
  Q_OBJECT

 public:
  explicit FailureStatusFeed(QObject* parent = nullptr);
  ~FailureStatusFeed() override;

  // Safe to outlive the feed: once the feed is gone the notices go nowhere.
  UpstreamObserver observer() const { return observer_for(_notices); }
  // The engine's health events: a proxy's first failure of each episode is told.
  pool::HealthSink health_sink() const { return health_sink_for(_notices); }
  // Every proxy may be told of again (call when the engine starts).
  void reset() { _notices->reset(); }

 signals:
  void proxy_failed(const QString& text);

 private:
  std::shared_ptr<ProxyFailureNotices> _notices;
};

}  // namespace tovix::insight
