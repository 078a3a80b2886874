#include "engine/relay/relay_context.h"

#include "common/logging.h"

namespace tovix {

void LiveCount::add() {
  std::lock_guard guard(_lock);
  ++_count;
}

void LiveCount::drop() {
  {
    std::lock_guard guard(_lock);
    --_count;
  }
  _changed.notify_all();
}

std::size_t LiveCount::value() const {
  std::lock_guard guard(_lock);
  return _count;
}

bool LiveCount::wait_for_none(std::chrono::milliseconds timeout) const {
  std::unique_lock guard(_lock);
  return _changed.wait_for(guard, timeout, [&] { return _count == 0; });
}

RelayContext::RelayContext(std::shared_ptr<NatTable> nat_table, nlohmann::ordered_json proxy_config,
                           HandlerFactory handler_factory, UpstreamObserver upstream_observer, RelayOptions options)
    : nat_table(std::move(nat_table)),
      handler_factory(std::move(handler_factory)),
      upstream_observer(std::move(upstream_observer)),
      options(std::move(options)),
      log(get_logger(LOGGER_ENGINE)),
      _proxy_config(std::move(proxy_config)) {}

nlohmann::ordered_json RelayContext::proxy_config() const {
  std::lock_guard guard(_config_lock);
  return _proxy_config;
}

void RelayContext::set_proxy_config(nlohmann::ordered_json proxy_config) {
  std::lock_guard guard(_config_lock);
  _proxy_config = std::move(proxy_config);
}

void RelayContext::add_traffic(std::uint64_t upload, std::uint64_t download) {
  std::lock_guard guard(_traffic_lock);
  _upload_bytes += upload;
  _download_bytes += download;
}

std::pair<std::uint64_t, std::uint64_t> RelayContext::traffic() const {
  std::lock_guard guard(_traffic_lock);
  return {_upload_bytes, _download_bytes};
}

void RelayContext::report_upstream(const ProxySettings& proxy, const std::exception* failure) const {
  if (!upstream_observer) return;
  UpstreamOutcome outcome{proxy.type, proxy.host, proxy.port, failure == nullptr, false, {}};
  if (failure != nullptr) {
    const auto* proxy_error = dynamic_cast<const ProxyError*>(failure);
    outcome.at_proxy = proxy_error == nullptr || !proxy_error->at_destination();
    outcome.error = failure->what();
  }
  try {
    upstream_observer(outcome);
  } catch (...) {
    // An observer's failure must not end the connection.
  }
}

}  // namespace tovix
