#include "app/insight/proxy_failure_notices.h"

#include <utility>

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

void ProxyFailureNotices::reset() {
  std::lock_guard guard(_lock);
  _failing.clear();
}

void ProxyFailureNotices::detach() {
  std::lock_guard guard(_lock);
  _sink = nullptr;
}

std::string ProxyFailureNotices::notice_text(const UpstreamOutcome& outcome) {
  return "代理 " + proxy_address(outcome) +
         " 连接失败: " + handler_reason(outcome.error, outcome.proxy_host, outcome.proxy_port);
}

std::string handler_reason(const std::string& error, const std::string& host, int port) {
  std::string reason = error;
  const std::string handler_prefix = " proxy " + host + ":" + std::to_string(port) + ": ";
  // The prefix follows the handler's kind ("SOCKS5", "HTTP"), never text from the peer.
  if (const auto at = reason.find(handler_prefix); at != std::string::npos && at < 16) {
    reason.erase(0, at + handler_prefix.size());
  }
  // A refused or unreachable proxy: the socket names the same address once more.
  if (const std::string socket_prefix = "cannot connect to " + host + ":" + std::to_string(port) + ": ";
      reason.starts_with(socket_prefix)) {
    reason.erase(0, socket_prefix.size());
  }
  if (reason.empty()) reason = "未知错误";
  return reason;
}

UpstreamObserver observer_for(std::shared_ptr<ProxyFailureNotices> notices) {
  return [notices = std::move(notices)](const UpstreamOutcome& outcome) { notices->observe(outcome); };
}

}  // namespace tovix::insight
