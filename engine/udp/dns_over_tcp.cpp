#include "engine/udp/dns_over_tcp.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <exception>
#include <thread>
#include <unordered_map>

#include "common/logging.h"
#include "engine/divert/udp_datagram.h"
#include "engine/udp/dns_message.h"

namespace tovix {
namespace {

using Clock = std::chrono::steady_clock;

DnsAnswer server_failure(const DnsQuery& query) {
  DnsAnswer answer{query.program, query.resolver, {}, false};
  answer.message = dns_server_failure(query.message).value_or(std::vector<std::uint8_t>{});
  return answer;
}

}  // namespace

std::vector<std::uint8_t> DnsAnswer::datagram() const { return build_udp_datagram(resolver, program, message); }

// The connection to one resolver and the queries on their way to it.
class DnsOverTcp::Channel {
  struct Pending {
    DnsQuery query;
    Clock::time_point deadline;
    int attempts = 0;
  };

 public:
  Channel(IpEndpoint resolver, const DnsOverTcp& owner) : _resolver(resolver), _owner(owner) {
    _worker = std::thread([this] { _run(); });
  }
  ~Channel() { stop(); }

  bool submit(DnsQuery query) {
    {
      std::lock_guard guard(_lock);
      if (_stopping || _waiting.size() >= _owner._options.max_waiting) return false;
      _waiting.push_back({std::move(query), Clock::now() + _owner._options.query_timeout, 0});
    }
    _changed.notify_all();
    return true;
  }

  // No connection and nothing to ask: it may go.
  bool idle() {
    std::lock_guard guard(_lock);
    return !_socket && _waiting.empty() && _in_flight.empty();
  }

  void stop() {
    {
      std::lock_guard guard(_lock);
      if (_stopping && !_worker.joinable()) return;
      _stopping = true;
    }
    _changed.notify_all();
    if (_worker.joinable()) _worker.join();
  }

 private:
  void _run() {
    std::unique_lock guard(_lock);
    while (!_stopping) {
      std::vector<DnsAnswer> failures;
      _fail_expired(failures);
      if (_connection_ended) _close(guard, failures);
      if (!_socket && !_waiting.empty()) _connect(guard, failures);
      if (_socket) _send_waiting(guard);
      if (_socket && _waiting.empty() && _in_flight.empty() &&
          Clock::now() - _last_used >= _owner._options.idle_close) {
        _close(guard, failures);
      }
      if (!failures.empty()) {
        guard.unlock();
        for (auto& failure : failures) _owner._on_answer(std::move(failure));
        guard.lock();
        continue;
      }
      _changed.wait_until(guard, _next_wake(), [this] { return _stopping || _connection_ended || _can_send(); });
    }
    std::vector<DnsAnswer> ignored;
    _close(guard, ignored);
  }

  bool _can_send() const {
    return !_waiting.empty() && (!_socket || _in_flight.size() < _owner._options.max_in_flight);
  }

  Clock::time_point _next_wake() const {
    Clock::time_point next = Clock::now() + std::chrono::seconds(60);
    for (const auto& pending : _waiting) next = std::min(next, pending.deadline);
    for (const auto& [id, pending] : _in_flight) next = std::min(next, pending.deadline);
    if (_socket) next = std::min(next, _last_used + _owner._options.idle_close);
    return next;
  }

  void _fail_expired(std::vector<DnsAnswer>& failures) {
    const auto now = Clock::now();
    for (auto it = _waiting.begin(); it != _waiting.end();) {
      if (it->deadline > now) {
        ++it;
        continue;
      }
      failures.push_back(server_failure(it->query));
      it = _waiting.erase(it);
    }
    std::erase_if(_in_flight, [&](const auto& item) {
      if (item.second.deadline > now) return false;
      failures.push_back(server_failure(item.second.query));
      return true;
    });
  }

  void _connect(std::unique_lock<std::mutex>& guard, std::vector<DnsAnswer>& failures) {
    guard.unlock();
    std::shared_ptr<Socket> socket;
    try {
      socket = _owner._opener(_resolver);
    } catch (const std::exception& error) {
      get_logger(LOGGER_ENGINE)->warn("DNS 经代理连接 {} 失败: {}", _resolver.text(), error.what());
    }
    guard.lock();
    if (!socket) {
      for (const auto& pending : _waiting) failures.push_back(server_failure(pending.query));
      _waiting.clear();
      return;
    }
    _socket = std::move(socket);
    _connection_ended = false;
    _last_used = Clock::now();
    _reader = std::thread([this, socket = _socket] { _read(*socket); });
  }

  void _send_waiting(std::unique_lock<std::mutex>& guard) {
    std::vector<std::uint8_t> frames;
    while (!_waiting.empty() && _in_flight.size() < _owner._options.max_in_flight) {
      Pending pending = std::move(_waiting.front());
      _waiting.pop_front();
      while (_in_flight.contains(_next_id)) ++_next_id;
      const std::uint16_t id = _next_id++;
      std::vector<std::uint8_t> message = pending.query.message;
      set_dns_message_id(message, id);
      const auto framed = frame_dns_message(message);
      const std::size_t at = frames.size();
      frames.resize(at + framed.size());
      std::copy(framed.begin(), framed.end(), frames.begin() + static_cast<std::ptrdiff_t>(at));
      ++pending.attempts;
      _in_flight.emplace(id, std::move(pending));
    }
    if (frames.empty()) return;
    _last_used = Clock::now();
    const std::shared_ptr<Socket> socket = _socket;
    guard.unlock();
    try {
      socket->send_all(frames.data(), frames.size());
    } catch (const SocketError& error) {
      get_logger(LOGGER_ENGINE)->debug("DNS 查询发送失败 {}: {}", _resolver.text(), error.what());
      guard.lock();
      _connection_ended = true;
      return;
    }
    guard.lock();
  }

  // Ends the connection; queries it left unanswered are asked again on the next one, or fail.
  void _close(std::unique_lock<std::mutex>& guard, std::vector<DnsAnswer>& failures) {
    if (_socket) {
      _socket->shutdown();
      guard.unlock();
      if (_reader.joinable()) _reader.join();
      guard.lock();
      _socket->close();
      _socket.reset();
    }
    _connection_ended = false;
    for (auto& [id, pending] : _in_flight) {
      if (pending.attempts < _owner._options.attempts && !_stopping) {
        _waiting.push_front(std::move(pending));
      } else {
        failures.push_back(server_failure(pending.query));
      }
    }
    _in_flight.clear();
  }

  void _read(Socket& socket) {
    DnsStreamReader reader;
    std::vector<std::vector<std::uint8_t>> messages;
    std::uint8_t buffer[4096];
    for (;;) {
      std::size_t got = 0;
      try {
        // Waits in slices: a shutdown from the worker does not wake a blocked receive on every
        // platform (Wine's Winsock keeps it waiting).
        if (!wait_readable({&socket}, std::chrono::milliseconds(100))[0].readable) {
          if (socket.is_shut_down()) break;
          continue;
        }
        got = socket.receive(buffer, sizeof buffer);
      } catch (const SocketError&) {
      }
      if (got == 0 || !reader.feed(std::span(buffer, got), messages)) break;
      for (auto& message : messages) _answer(std::move(message));
      messages.clear();
    }
    {
      std::lock_guard guard(_lock);
      _connection_ended = true;
    }
    _changed.notify_all();
  }

  void _answer(std::vector<std::uint8_t> message) {
    Pending pending;
    {
      std::lock_guard guard(_lock);
      const auto found = _in_flight.find(dns_message_id(message));
      if (found == _in_flight.end()) return;  // late (timed out) or not ours
      pending = std::move(found->second);
      _in_flight.erase(found);
      _last_used = Clock::now();
    }
    _changed.notify_all();  // room for another query
    set_dns_message_id(message, dns_message_id(pending.query.message));
    _owner._on_answer(DnsAnswer{pending.query.program, pending.query.resolver, std::move(message), true});
  }

  const IpEndpoint _resolver;
  const DnsOverTcp& _owner;
  std::mutex _lock;
  std::condition_variable _changed;
  std::deque<Pending> _waiting;
  std::unordered_map<std::uint16_t, Pending> _in_flight;  // by the ID used on the connection
  std::uint16_t _next_id = 1;
  std::shared_ptr<Socket> _socket;
  bool _connection_ended = false;
  Clock::time_point _last_used;
  bool _stopping = false;
  std::thread _worker;
  std::thread _reader;
};

DnsOverTcp::DnsOverTcp(DnsTunnelOpener opener, std::function<void(DnsAnswer)> on_answer, Options options)
    : _opener(std::move(opener)), _on_answer(std::move(on_answer)), _options(options) {}

DnsOverTcp::~DnsOverTcp() { stop(); }

bool DnsOverTcp::submit(DnsQuery query) {
  if (!is_dns_query(query.message) || query.message.size() > 0xFFFF) return false;
  std::unique_ptr<Channel> retired;
  Channel* channel = nullptr;
  {
    std::lock_guard guard(_lock);
    if (_stopped) return false;
    auto found = _channels.find(query.resolver);
    if (found == _channels.end()) {
      if (_channels.size() >= _options.max_resolvers) {
        const auto idle =
            std::find_if(_channels.begin(), _channels.end(), [](auto& item) { return item.second->idle(); });
        if (idle == _channels.end()) return false;
        retired = std::move(idle->second);
        _channels.erase(idle);
      }
      found = _channels.emplace(query.resolver, std::make_unique<Channel>(query.resolver, *this)).first;
    }
    channel = found->second.get();
    if (!channel->submit(std::move(query))) return false;
  }
  return true;  // `retired` stops here, outside the lock
}

void DnsOverTcp::stop() {
  std::map<IpEndpoint, std::unique_ptr<Channel>> channels;
  {
    std::lock_guard guard(_lock);
    _stopped = true;
    channels.swap(_channels);
  }
  for (auto& [resolver, channel] : channels) channel->stop();
}

}  // namespace tovix
