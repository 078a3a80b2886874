#include "engine/relay/relay_hub.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>

#include <spdlog/spdlog.h>

#include "common/logging.h"
#include "engine/relay/http_handler.h"
#include "engine/relay/proxy_settings.h"
#include "engine/relay/socks5_handler.h"

namespace tovix {
namespace {

using Json = nlohmann::ordered_json;

// After a failed accept (out of descriptors, for example) the pending connection stays queued
// and the listener stays readable; a short pause keeps the loop from spinning.
constexpr std::chrono::milliseconds ACCEPT_ERROR_PAUSE{100};

}  // namespace

std::unique_ptr<UpstreamHandler> make_upstream_handler(const std::string& type) {
  return make_upstream_handler_with(type, HandshakeTimeouts{});
}

std::unique_ptr<UpstreamHandler> make_upstream_handler_with(const std::string& type, HandshakeTimeouts timeouts) {
  std::string lower = type;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "http") return std::make_unique<HttpHandler>(timeouts);
  return std::make_unique<Socks5Handler>(timeouts);
}

struct RelayHub::State {
  struct Counters {
    std::atomic<std::uint64_t> upload{0};
    std::atomic<std::uint64_t> download{0};
  };
  struct LiveConnection {
    std::shared_ptr<Socket> client;
    std::shared_ptr<Socket> upstream;  // set once the tunnel stands
    int client_port = 0;
    std::shared_ptr<Counters> counters;
  };

  State(std::shared_ptr<NatTable> nat_table, Json proxy_config, HandlerFactory factory, UpstreamObserver observer)
      : _nat_table(std::move(nat_table)),
        _proxy_config(std::move(proxy_config)),
        _handler_factory(std::move(factory)),
        _upstream_observer(std::move(observer)) {}

  std::shared_ptr<NatTable> _nat_table;
  mutable std::mutex _config_lock;
  Json _proxy_config;
  HandlerFactory _handler_factory;
  UpstreamObserver _upstream_observer;
  std::shared_ptr<Socket> _listener;
  std::atomic<bool> _running{false};

  // Keyed by a number never reused, unlike descriptor numbers: a finished connection can
  // only ever remove its own record.
  mutable std::mutex _clients_lock;
  std::map<std::uint64_t, LiveConnection> _clients;
  std::uint64_t _next_client_id = 0;

  mutable std::mutex _traffic_lock;
  std::uint64_t _upload_bytes = 0;
  std::uint64_t _download_bytes = 0;

  mutable std::mutex _threads_lock;
  mutable std::condition_variable _threads_changed;
  std::size_t _live_threads = 0;

  std::shared_ptr<spdlog::logger> _log = get_logger(LOGGER_ENGINE);

  void add_traffic(std::uint64_t upload, std::uint64_t download) {
    std::lock_guard guard(_traffic_lock);
    _upload_bytes += upload;
    _download_bytes += download;
  }

  Json proxy_config() const {
    std::lock_guard guard(_config_lock);
    return _proxy_config;
  }

  std::uint64_t remember_client(std::shared_ptr<Socket> client, int client_port, std::shared_ptr<Counters> counters) {
    std::lock_guard guard(_clients_lock);
    std::uint64_t id = _next_client_id++;
    _clients.emplace(id, LiveConnection{std::move(client), nullptr, client_port, std::move(counters)});
    return id;
  }

  void forget_client(std::uint64_t id) {
    std::lock_guard guard(_clients_lock);
    _clients.erase(id);
  }

  // False when stop() has already let go of this connection.
  bool attach_upstream(std::uint64_t id, std::shared_ptr<Socket> upstream) {
    std::lock_guard guard(_clients_lock);
    auto it = _clients.find(id);
    if (it == _clients.end()) return false;
    it->second.upstream = std::move(upstream);
    return true;
  }

  // Waits `period`, or less when stop() comes first.
  void pause(std::chrono::milliseconds period) {
    std::unique_lock lock(_threads_lock);
    _threads_changed.wait_for(lock, period, [&] { return !_running.load(); });
  }

  void thread_started() {
    std::lock_guard guard(_threads_lock);
    ++_live_threads;
  }

  void thread_finished() {
    {
      std::lock_guard guard(_threads_lock);
      --_live_threads;
    }
    _threads_changed.notify_all();
  }

  void report_upstream(const ProxySettings& proxy, const std::exception* failure) {
    if (!_upstream_observer) return;
    UpstreamOutcome outcome{proxy.type, proxy.host, proxy.port, failure == nullptr, false, {}};
    if (failure != nullptr) {
      const auto* proxy_error = dynamic_cast<const ProxyError*>(failure);
      outcome.at_proxy = proxy_error == nullptr || !proxy_error->at_destination();
      outcome.error = failure->what();
    }
    try {
      _upstream_observer(outcome);
    } catch (...) {
      // An observer's failure must not end the connection.
    }
  }

  void wake_all() {
    { std::lock_guard guard(_threads_lock); }
    _threads_changed.notify_all();
  }

  static void _accept_loop(const std::shared_ptr<State>& self);
  static void _relay_connection(const std::shared_ptr<State>& self, std::uint64_t id,
                                std::shared_ptr<Socket> client_sock, SocketAddress client_addr,
                                std::shared_ptr<Counters> counters);
  static void _relay_connection_body(State& self, std::uint64_t id, const std::shared_ptr<Socket>& client_sock,
                                     const SocketAddress& client_addr, Counters& counters);
  static void _bidirectional_relay(State& self, Socket& sock_a, Socket& sock_b, Counters& counters);
};

RelayHub::RelayHub(std::shared_ptr<NatTable> nat_table, Json proxy_config, HandlerFactory handler_factory,
                   UpstreamObserver upstream_observer)
    : _state(std::make_shared<State>(std::move(nat_table), std::move(proxy_config), std::move(handler_factory),
                                     std::move(upstream_observer))) {
  if (!_state->_nat_table) throw std::invalid_argument("RelayHub needs a NAT table");
}

RelayHub::~RelayHub() { stop(); }

SocketAddress RelayHub::start(const std::string& host, int port) {
  if (_state->_listener) throw std::logic_error("a relay is started only once");
  auto listener = Socket::create_tcp();
  listener->set_reuse_address();
  listener->bind(host, port);
  listener->listen(LISTEN_BACKLOG);
  listener->set_non_blocking(true);
  const SocketAddress bound = listener->local_address();
  _state->_listener = listener;
  _state->_running = true;
  _state->_log->info("本地中继服务器启动: {}:{}", bound.first, bound.second);
  try {
    _accept_thread = std::thread([state = _state] { State::_accept_loop(state); });
  } catch (...) {
    _state->_running = false;
    listener->close();
    throw;
  }
  return bound;
}

void RelayHub::stop() { _stop(false); }

void RelayHub::abort() { _stop(true); }

void RelayHub::_stop(bool reset_clients) {
  _state->_running = false;
  _state->wake_all();
  // The accept thread is waiting on the listener: wake it (where the system allows) and let
  // it see the flag before the listener goes, so the descriptor number cannot be reused
  // under the wait.
  if (_state->_listener) _state->_listener->shutdown();
  if (_accept_thread.joinable()) _accept_thread.join();
  if (_state->_listener) _state->_listener->close();
  std::map<std::uint64_t, State::LiveConnection> snapshot;
  {
    std::lock_guard guard(_state->_clients_lock);
    snapshot.swap(_state->_clients);
  }
  // Shut down rather than close: each connection thread still uses its sockets and closes
  // them itself once its copy loop has woken up.
  for (auto& [id, connection] : snapshot) {
    if (reset_clients) {
      connection.client->abort();
    } else {
      connection.client->shutdown();
    }
    if (connection.upstream) connection.upstream->shutdown();
  }
}

void RelayHub::add_traffic(std::uint64_t upload, std::uint64_t download) { _state->add_traffic(upload, download); }

std::pair<std::uint64_t, std::uint64_t> RelayHub::get_traffic() const {
  std::lock_guard guard(_state->_traffic_lock);
  return {_state->_upload_bytes, _state->_download_bytes};
}

void RelayHub::set_proxy_config(Json proxy_config) {
  std::lock_guard guard(_state->_config_lock);
  _state->_proxy_config = std::move(proxy_config);
}

Json RelayHub::proxy_config() const { return _state->proxy_config(); }

std::size_t RelayHub::live_connections() const {
  std::lock_guard guard(_state->_threads_lock);
  return _state->_live_threads;
}

std::vector<RelayHub::ConnectionTraffic> RelayHub::connection_traffic() const {
  std::vector<ConnectionTraffic> result;
  std::lock_guard guard(_state->_clients_lock);
  result.reserve(_state->_clients.size());
  for (const auto& [id, connection] : _state->_clients) {
    result.push_back({connection.client_port, connection.counters->upload.load(std::memory_order_relaxed),
                      connection.counters->download.load(std::memory_order_relaxed), connection.upstream != nullptr});
  }
  return result;
}

std::vector<int> RelayHub::client_ports() const {
  std::vector<int> result;
  std::lock_guard guard(_state->_clients_lock);
  result.reserve(_state->_clients.size());
  for (const auto& [id, connection] : _state->_clients) result.push_back(connection.client_port);
  return result;
}

std::size_t RelayHub::client_count() const {
  std::lock_guard guard(_state->_clients_lock);
  return _state->_clients.size();
}

bool RelayHub::wait_until_idle(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(_state->_threads_lock);
  return _state->_threads_changed.wait_for(lock, timeout, [&] { return _state->_live_threads == 0; });
}

void RelayHub::State::_accept_loop(const std::shared_ptr<State>& self) {
  Socket& listener = *self->_listener;
  while (self->_running) {
    try {
      if (!wait_readable({&listener}, ACCEPT_WAIT)[0].readable) continue;
      SocketAddress client_addr;
      std::shared_ptr<Socket> client_sock = listener.accept(client_addr);
      if (!client_sock) continue;  // another wake-up took it, or the client gave up
      self->_log->debug("中继接受连接: {}:{}", client_addr.first, client_addr.second);
      auto counters = std::make_shared<Counters>();
      const std::uint64_t id = self->remember_client(client_sock, client_addr.second, counters);
      self->thread_started();
      try {
        std::thread(_relay_connection, self, id, client_sock, client_addr, counters).detach();
      } catch (...) {
        self->thread_finished();
        self->forget_client(id);
        client_sock->close();
        throw;
      }
    } catch (const std::exception& error) {
      if (!self->_running) break;
      self->_log->debug("accept 异常: {}", error.what());
      self->pause(ACCEPT_ERROR_PAUSE);
    }
  }
}

void RelayHub::State::_relay_connection(const std::shared_ptr<State>& self, std::uint64_t id,
                                        std::shared_ptr<Socket> client_sock, SocketAddress client_addr,
                                        std::shared_ptr<Counters> counters) {
  try {
    _relay_connection_body(*self, id, client_sock, client_addr, *counters);
  } catch (...) {
    // Nothing may escape a thread body; the sockets are closed below in any case.
  }
  client_sock->close();
  self->forget_client(id);
  self->thread_finished();
}

void RelayHub::State::_relay_connection_body(State& self, std::uint64_t id, const std::shared_ptr<Socket>& client_sock,
                                             const SocketAddress& client_addr, Counters& counters) {
  const auto& [src_ip, src_port] = client_addr;
  const int nat_key = src_port;
  std::optional<NatEntry> entry;
  for (int attempt = 0; attempt < NAT_LOOKUP_ATTEMPTS; ++attempt) {
    entry = self._nat_table->get(nat_key);
    if (entry || client_sock->is_shut_down() || !self._running) break;
    self.pause(NAT_LOOKUP_PAUSE);
  }
  if (!entry) {
    if (self._running && !client_sock->is_shut_down()) self._log->warn("中继未找到 NAT 记录: {}:{}", src_ip, src_port);
    return;
  }
  const std::string& dst_ip = entry->original_dst_ip;
  const int dst_port = entry->original_dst_port;
  self._log->debug("中继转发: {}:{} → {}:{}", src_ip, src_port, dst_ip, dst_port);
  std::optional<ProxySettings> proxy;
  try {
    proxy = read_proxy_settings(self.proxy_config());
    std::shared_ptr<Socket> proxy_sock;
    try {
      std::unique_ptr<UpstreamHandler> handler = self._handler_factory(proxy->type);
      if (!handler) throw std::runtime_error("no upstream handler for type " + proxy->type);
      proxy_sock =
          handler->handle_connection(dst_ip, dst_port, proxy->host, proxy->port, proxy->username, proxy->password);
      if (!proxy_sock) throw std::runtime_error("upstream handler returned no socket");
    } catch (const std::exception& error) {
      // A handshake cut short by stop() says nothing about the proxy.
      if (self._running && !client_sock->is_shut_down()) self.report_upstream(*proxy, &error);
      throw;
    }
    self.report_upstream(*proxy, nullptr);
    if (self.attach_upstream(id, proxy_sock)) _bidirectional_relay(self, *client_sock, *proxy_sock, counters);
    proxy_sock->close();
  } catch (const std::exception& error) {
    self._log->debug("中继建立代理连接失败 {}:{}: {}", dst_ip, dst_port, error.what());
  }
  client_sock->close();
  // Only the entry this connection used: a newer connection may already have reused the port.
  self._nat_table->remove_if_same(nat_key, *entry);
}

void RelayHub::State::_bidirectional_relay(State& self, Socket& sock_a, Socket& sock_b, Counters& counters) {
  // Not zero-filled: an idle connection then keeps almost none of it resident.
  std::unique_ptr<char[]> buffer(new char[COPY_CHUNK]);
  Socket* const sockets[2] = {&sock_a, &sock_b};
  // Whether each side may still send to us; an orderly close of one side ends only its
  // direction, so a client that half-closes still gets the answer.
  bool reading[2] = {true, true};
  // The client's half-close, held back while the upstream is still answering.
  bool client_end_held = false;
  auto upstream_quiet_since = std::chrono::steady_clock::now();
  try {
    while (reading[0] || reading[1]) {
      std::vector<Socket*> waited;
      std::size_t index_of[2] = {0, 0};
      for (std::size_t side = 0; side < 2; ++side) {
        if (!reading[side]) continue;
        index_of[side] = waited.size();
        waited.push_back(sockets[side]);
      }
      const std::vector<Readiness> ready = wait_readable(waited, client_end_held ? HALF_CLOSE_HOLD / 4 : COPY_WAIT);
      // stop() shuts sockets down; not every platform reports that as readable.
      if (sock_a.is_shut_down() || sock_b.is_shut_down()) break;
      bool exceptional = false;
      for (const Readiness& r : ready) exceptional = exceptional || r.exceptional;
      if (exceptional) break;
      for (std::size_t from = 0; from < 2; ++from) {
        if (!reading[from] || !ready[index_of[from]].readable) continue;
        const std::size_t received = sockets[from]->receive(buffer.get(), COPY_CHUNK);
        if (received == 0) {
          reading[from] = false;
          if (from == 0 && reading[1]) {
            client_end_held = true;
            upstream_quiet_since = std::chrono::steady_clock::now();
          } else {
            sockets[1 - from]->shutdown_send();
          }
          continue;
        }
        sockets[1 - from]->send_all(buffer.get(), received);
        if (from == 0) {
          self.add_traffic(received, 0);
          counters.upload.fetch_add(received, std::memory_order_relaxed);
        } else {
          upstream_quiet_since = std::chrono::steady_clock::now();
          self.add_traffic(0, received);
          counters.download.fetch_add(received, std::memory_order_relaxed);
        }
      }
      if (client_end_held &&
          (!reading[1] || std::chrono::steady_clock::now() - upstream_quiet_since >= HALF_CLOSE_HOLD)) {
        client_end_held = false;
        sock_b.shutdown_send();
      }
    }
  } catch (...) {
    // A failed wait, receive or send ends the connection without a log line.
  }
  // The client's NAT entry goes when this returns, and with it the translation of the relay's
  // segments towards the application: the answer's tail must have reached it by then.
  sock_a.wait_until_sent(SEND_DRAIN_WAIT);
  sock_a.close();
  sock_b.close();
}

}  // namespace tovix
