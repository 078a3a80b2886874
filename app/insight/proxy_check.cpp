#include "app/insight/proxy_check.h"

#include <utility>

#include "app/insight/plain_http.h"
#include "common/text.h"
#include "engine/relay/proxy_settings.h"
#include "engine/udp/socks5_udp_association.h"

namespace tovix::insight {
namespace {

constexpr const char* NO_ADDRESS = "未能获取出口 IP";

// What one source gave: nothing (try the next), or an address.
std::optional<std::string> ask(Socket& tunnel, const IpSource& source, const HttpUrl& url,
                               std::chrono::steady_clock::time_point deadline) {
  const HttpAnswer answer = http_get(tunnel, url, deadline);
  if (answer.status >= 400) return std::nullopt;
  if (to_valid_utf8(answer.body) != answer.body) return std::nullopt;
  const std::string_view body = strip_whitespace(answer.body);
  if (body.empty() || !source.parse) return std::nullopt;
  std::optional<std::string> address = source.parse(body);
  if (!address || address->empty()) return std::nullopt;
  if (to_valid_utf8(*address, ProxyChecker::MAX_ADDRESS_CHARACTERS) != *address) return std::nullopt;
  return address;
}

}  // namespace

std::string proxy_key(const nlohmann::ordered_json& proxy_entry) {
  try {
    const ProxySettings proxy = read_proxy_settings(proxy_entry);
    return proxy.type + "://" + proxy.username + "@" + proxy.host + ":" + std::to_string(proxy.port);
  } catch (const std::exception&) {
    return "invalid://" + proxy_entry.dump();
  }
}

ProxyChecker::ProxyChecker(std::vector<IpSource> sources, HandlerFactory handler_factory, Clock clock,
                           UdpProbe udp_probe)
    : _sources(std::move(sources)),
      _handler_factory(std::move(handler_factory)),
      _clock(std::move(clock)),
      _udp_probe(std::move(udp_probe)) {}

HandlerFactory ProxyChecker::default_handler_factory() {
  return [](const std::string& type) { return make_upstream_handler_with(type, CHECK_TIMEOUTS); };
}

ProxyChecker::UdpProbe ProxyChecker::default_udp_probe() {
  return [](const ProxySettings& proxy) {
    return grants_udp_associate({proxy.host, proxy.port, proxy.username, proxy.password}, CHECK_TIMEOUTS);
  };
}

ProxyCheckResult ProxyChecker::check(const nlohmann::ordered_json& proxy_entry) const {
  ProxySettings proxy;
  try {
    proxy = read_proxy_settings(proxy_entry);
  } catch (const std::exception& error) {
    ProxyCheckResult invalid;
    invalid.error = error.what();
    return invalid;
  }
  ProxyCheckResult result = _check_tunnels(proxy);
  if (result.reachable && proxy.type == "socks5" && _udp_probe) {
    try {
      result.grants_udp = _udp_probe(proxy);
    } catch (const std::exception&) {
      // Not told.
    }
  }
  return result;
}

ProxyCheckResult ProxyChecker::_check_tunnels(const ProxySettings& proxy) const {
  ProxyCheckResult result;
  auto failed = [&result](std::string error) {
    result.reachable = false;
    result.error = std::move(error);
    return result;
  };
  auto note_reachable = [this](ProxyCheckResult& checked, std::chrono::steady_clock::time_point started) {
    if (checked.reachable) return;
    checked.reachable = true;
    checked.handshake_ms = std::chrono::duration<double, std::milli>(_clock() - started).count();
  };
  for (const IpSource& source : _sources) {
    HttpUrl url;
    try {
      url = split_http_url(source.url);
    } catch (const std::exception&) {
      continue;
    }
    std::shared_ptr<Socket> tunnel;
    const auto started = _clock();
    try {
      std::unique_ptr<UpstreamHandler> handler = _handler_factory(proxy.type);
      if (!handler) throw std::runtime_error("no upstream handler for type " + proxy.type);
      tunnel = handler->handle_connection(url.host, url.port, proxy.host, proxy.port, proxy.username, proxy.password);
      if (!tunnel) throw std::runtime_error("upstream handler returned no socket");
    } catch (const ProxyError& error) {
      if (!error.at_destination()) return failed(error.what());
      // The proxy works; it only cannot reach this service.
      note_reachable(result, started);
      continue;
    } catch (const std::exception& error) {
      return failed(error.what());
    }
    note_reachable(result, started);
    std::optional<std::string> address;
    try {
      address = ask(*tunnel, source, url, std::chrono::steady_clock::now() + REQUEST_TIMEOUT);
    } catch (const std::exception&) {
      // A source that times out or answers garbage: the next one is asked.
    }
    tunnel->close();
    if (address) {
      result.exit_address = std::move(*address);
      result.error.clear();
      return result;
    }
  }
  result.error = NO_ADDRESS;
  return result;
}

}  // namespace tovix::insight
