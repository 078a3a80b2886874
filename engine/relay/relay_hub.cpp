#include "engine/relay/relay_hub.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "common/descriptor_limit.h"
#include "engine/relay/http_handler.h"
#include "engine/relay/relay_context.h"
#include "engine/relay/relay_loop.h"
#include "engine/relay/socks5_handler.h"

namespace tovix {

using Json = nlohmann::ordered_json;

std::unique_ptr<UpstreamHandler> make_upstream_handler(const std::string& type) {
  return make_upstream_handler_with(type, HandshakeTimeouts{});
}

std::unique_ptr<UpstreamHandler> make_upstream_handler_with(const std::string& type, HandshakeTimeouts timeouts) {
  std::string lower = type;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "http") return std::make_unique<HttpHandler>(timeouts);
  return std::make_unique<Socks5Handler>(timeouts);
}

RelayHub::RelayHub(std::shared_ptr<NatTable> nat_table, Json proxy_config, HandlerFactory handler_factory,
                   UpstreamObserver upstream_observer, RelayOptions options) {
  if (!nat_table) throw std::invalid_argument("RelayHub needs a NAT table");
  _context = std::make_shared<RelayContext>(std::move(nat_table), std::move(proxy_config), std::move(handler_factory),
                                            std::move(upstream_observer), std::move(options));
}

RelayHub::~RelayHub() { stop(); }

SocketAddress RelayHub::start(const std::string& host, int port) {
  if (_listener) throw std::logic_error("a relay is started only once");
  // Two descriptors per connection: the limit a desktop session hands down is far too low.
  raise_descriptor_limit();
  auto listener = Socket::create_tcp();
  listener->set_reuse_address();
  // Accepted sockets take their buffers from the listener.
  if (_context->options.socket_buffer_bytes > 0) listener->set_buffer_sizes(_context->options.socket_buffer_bytes);
  listener->bind(host, port);
  listener->listen(LISTEN_BACKLOG);
  listener->set_non_blocking(true);
  const SocketAddress bound = listener->local_address();
  auto loop = std::make_shared<RelayLoop>(_context, listener, DIVERTED_SOURCE_IP);
  _context->log->info("本地中继服务器启动: {}:{}", bound.first, bound.second);
  _loop_thread = std::thread([loop] { loop->run(); });
  _listener = std::move(listener);
  _loop = std::move(loop);
  return bound;
}

void RelayHub::stop() { _stop(false); }

void RelayHub::abort() { _stop(true); }

void RelayHub::_stop(bool reset_clients) {
  if (_loop) _loop->request_stop(reset_clients);
  // The loop ends every connection on its way out and blocks on nothing, so this is quick.
  if (_loop_thread.joinable()) _loop_thread.join();
  if (_listener) _listener->close();
}

void RelayHub::add_traffic(std::uint64_t upload, std::uint64_t download) { _context->add_traffic(upload, download); }

std::pair<std::uint64_t, std::uint64_t> RelayHub::get_traffic() const { return _context->traffic(); }

void RelayHub::set_proxy_config(Json proxy_config) { _context->set_proxy_config(std::move(proxy_config)); }

Json RelayHub::proxy_config() const { return _context->proxy_config(); }

std::size_t RelayHub::live_connections() const { return _context->live->value(); }

std::vector<RelayHub::ConnectionTraffic> RelayHub::connection_traffic() const {
  std::vector<ConnectionTraffic> result;
  if (!_loop) return result;
  _loop->visit_connections([&](const RelayConnection& connection) {
    result.push_back({connection.client_addr.second, connection.uploaded.load(std::memory_order_relaxed),
                      connection.downloaded.load(std::memory_order_relaxed), connection.tunnel_up.load(),
                      connection.host_name.value_or(""), connection.reason});
  });
  return result;
}

std::vector<int> RelayHub::client_ports() const {
  std::vector<int> result;
  if (!_loop) return result;
  _loop->visit_connections([&](const RelayConnection& connection) { result.push_back(connection.client_addr.second); });
  return result;
}

std::size_t RelayHub::client_count() const { return _loop ? _loop->connection_count() : 0; }

bool RelayHub::wait_until_idle(std::chrono::milliseconds timeout) const {
  return _context->live->wait_for_none(timeout);
}

}  // namespace tovix
