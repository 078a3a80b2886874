#include "app/insight/proxy_failure_notices.h"

#include <utility>

#include "engine/pool/pool_texts.h"

namespace tovix::insight {
namespace {

std::string proxy_address(const UpstreamOutcome& outcome) {
  return outcome.proxy_host + ":" + std::to_string(outcome.proxy_port);
}

}  // namespace

ProxyFailureNotices::ProxyFailureNotices(Sink sink) : _sink(std::move(sink)) {}

void ProxyFailureNotices::observe(const UpstreamOutcome& outcome) {
  const std::string key = outcome.proxy_type + " " + proxy_address(outcome);
  std::lock_guard guard(_lock);
  if (outcome.succeeded) {
    _failing.erase(key);
    return;
  }
  if (!outcome.at_proxy || !_failing.insert(key).second) return;
  if (_sink) _sink(notice_text(outcome));
}

void ProxyFailureNotices::observe_health(const pool::HealthEvent& event) {
  if (event.kind != pool::HealthEventKind::first_failure) return;
  std::lock_guard guard(_lock);
  if (_sink) _sink(pool::event_text(event));
}

void ProxyFailureNotices::reset() {
  std::lock_guard guard(_lock);
  _failing.clear();
}

void ProxyFailureNotices::detach() {
  std::lock_guard guard(_lock);
  _sink = nullptr;
}

std::string ProxyFailureNotices::notice_text(const UpstreamOutcome& outcome) {
  return pool::failure_notice(outcome.proxy_host, outcome.proxy_port, outcome.error);
}

std::string handler_reason(const std::string& error, const std::string& host, int port) {
  return pool::failure_reason(error, host, port);
}

UpstreamObserver observer_for(std::shared_ptr<ProxyFailureNotices> notices) {
  return [notices = std::move(notices)](const UpstreamOutcome& outcome) { notices->observe(outcome); };
}

pool::HealthSink health_sink_for(std::shared_ptr<ProxyFailureNotices> notices) {
  return [notices = std::move(notices)](const pool::HealthEvent& event) { notices->observe_health(event); };
}

}  // namespace tovix::insight
