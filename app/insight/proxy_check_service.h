#pragma once
// Proxy checks for the GUI: they run on the runner's worker threads and their results arrive
// on the GUI thread as check_finished(key); the last result of each proxy is kept here, so the
// proxy list can mark a proxy whose last check failed.
#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/insight/app_insight_export.h"
#include "app/insight/proxy_check.h"

namespace tovix::insight {

class ProxyCheckRunner;

class APP_INSIGHT_EXPORT ProxyCheckService : public QObject {
  Q_OBJECT

 public:
  ProxyCheckService(std::vector<IpSource> sources, QObject* parent = nullptr);
  // For tests: any check function.
  ProxyCheckService(std::function<ProxyCheckResult(const nlohmann::ordered_json&)> check, QObject* parent = nullptr);
  ~ProxyCheckService() override;

  // Starts a check unless one of the same proxy is under way; emits check_started then.
  void check(const nlohmann::ordered_json& proxy_entry);
  bool is_checking(const std::string& key) const { return _checking.contains(key); }
  std::optional<ProxyCheckResult> last_result(const std::string& key) const;
  // True when the proxy's last check could not open a tunnel through it.
  bool failed_last_check(const std::string& key) const;

 signals:
  void check_started(const QString& key);
  void check_finished(const QString& key);

 private:
  void _finished(const std::string& key, const ProxyCheckResult& result);

  std::unique_ptr<ProxyCheckRunner> _runner;
  std::map<std::string, ProxyCheckResult> _results;
  std::set<std::string> _checking;
};

}  // namespace tovix::insight
