#include "app/insight/proxy_check_service.h"

#include <QMetaObject>

#include "app/insight/proxy_check_runner.h"

namespace tovix::insight {

ProxyCheckService::ProxyCheckService(std::vector<IpSource> sources, QObject* parent)
    : ProxyCheckService([checker = std::make_shared<ProxyChecker>(std::move(sources))](
                            const nlohmann::ordered_json& entry) { return checker->check(entry); },
                        parent) {}

ProxyCheckService::ProxyCheckService(std::function<ProxyCheckResult(const nlohmann::ordered_json&)> check,
                                     QObject* parent)
    : QObject(parent) {
  _runner = std::make_unique<ProxyCheckRunner>(
      std::move(check), [this](const std::string& key, const ProxyCheckResult& result) {
        // On a worker thread; the runner lets no call begin once it is destroyed, which the
        // destructor below does first, so `this` is whole here. The queued call is dropped
        // if the service is gone by the time it would run.
        QMetaObject::invokeMethod(
            this, [this, key, result] { _finished(key, result); }, Qt::QueuedConnection);
      });
}

ProxyCheckService::~ProxyCheckService() { _runner.reset(); }

void ProxyCheckService::check(const nlohmann::ordered_json& proxy_entry) {
  const std::string key = proxy_key(proxy_entry);
  if (_checking.contains(key) || !_runner->submit(key, proxy_entry)) return;
  _checking.insert(key);
  emit check_started(QString::fromStdString(key));
}

std::optional<ProxyCheckResult> ProxyCheckService::last_result(const std::string& key) const {
  auto it = _results.find(key);
  if (it == _results.end()) return std::nullopt;
  return it->second;
}

bool ProxyCheckService::failed_last_check(const std::string& key) const {
  auto it = _results.find(key);
  return it != _results.end() && !it->second.reachable;
}

void ProxyCheckService::_finished(const std::string& key, const ProxyCheckResult& result) {
  _checking.erase(key);
  _results[key] = result;
  emit check_finished(QString::fromStdString(key));
}

}  // namespace tovix::insight
