#include "engine/relay/tunnel_handshake.h"

#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

#include "engine/relay/direct_handler.h"

namespace tovix {
namespace {

// The plan for asking the order's upstream for `destination`; nothing when its handler can only
// block.
std::optional<HandshakePlan> plan_for(const RelayContext& context, const TunnelOrder& order,
                                      const std::string& destination) {
  if (order.direct) return DirectHandler().plan_handshake(order.dst_ip, order.dst_port, {}, 0, {}, {});
  const ProxySettings& proxy = order.proxy;
  std::unique_ptr<UpstreamHandler> handler = context.handler_factory(proxy.type);
  if (!handler) throw std::runtime_error("no upstream handler for type " + proxy.type);
  return handler->plan_handshake(destination, order.dst_port, proxy.host, proxy.port, proxy.username, proxy.password);
}

// Most handshake messages are a few bytes; an HTTP response header may come in several reads.
constexpr std::size_t RECEIVE_CHUNK = 4096;

}  // namespace

std::unique_ptr<TunnelHandshake> TunnelHandshake::create(const RelayContext& context, TunnelOrder order,
                                                         EventPoller& poller, std::uint64_t token) {
  const bool by_name = !order.direct && !order.host_name.empty();
  std::optional<HandshakePlan> plan;
  std::exception_ptr refused;
  try {
    plan = plan_for(context, order, by_name ? order.host_name : order.dst_ip);
    if (!plan) return nullptr;
  } catch (...) {
    refused = std::current_exception();
  }
  std::unique_ptr<TunnelHandshake> handshake(
      new TunnelHandshake(context, std::move(order), poller, token, plan ? std::move(*plan) : HandshakePlan{}));
  handshake->_by_name = by_name;
  if (refused) {
    try {
      std::rethrow_exception(refused);
    } catch (const std::exception& error) {
      handshake->_fail(error, HandshakeClock::now());
    }
  }
  return handshake;
}

TunnelHandshake::TunnelHandshake(const RelayContext& context, TunnelOrder order, EventPoller& poller,
                                 std::uint64_t token, HandshakePlan plan)
    : _context(context),
      _order(std::move(order)),
      _poller(poller),
      _token(token),
      _plan(std::move(plan)),
      _by_name(false),
      _host(_plan.to_destination ? _order.dst_ip : _order.proxy.host),
      _port(_plan.to_destination ? _order.dst_port : _order.proxy.port) {}

TunnelHandshake::~TunnelHandshake() { _drop_socket(); }

void TunnelHandshake::start(HandshakeClock::time_point now) {
  if (_state == State::failed) return;
  if (_port <= 0 || _port > 65535) {
    _fail(ProxyError(proxy_failure(_plan.kind, _host, _port, "invalid proxy port")), now);
    return;
  }
  unsigned char bytes[4];
  if (!parse_ipv4(_host, bytes)) return;  // the loop has the name looked up
  _addresses = {_host};
  _begin(now);
}

void TunnelHandshake::resolved(const std::vector<std::string>& addresses, const std::string& failure,
                               HandshakeClock::time_point now) {
  if (_state != State::resolving) return;
  if (!failure.empty() || addresses.empty()) {
    _fail(ProxyError(proxy_failure(_plan.kind, _host, _port, failure.empty() ? "no IPv4 address" : failure)), now);
    return;
  }
  _addresses = addresses;
  _begin(now);
}

void TunnelHandshake::_begin(HandshakeClock::time_point now) {
  ++_attempt;
  _state = State::connecting;
  _deadline = now + _plan.timeouts.connect;
  _next_address = 0;
  _last_connect_failure.clear();
  _unsent.clear();
  _received.clear();
  _connect_next(now);
}

void TunnelHandshake::_connect_next(HandshakeClock::time_point now) {
  while (_next_address < _addresses.size() && now < _deadline) {
    _connecting_to = _addresses[_next_address++];
    try {
      _socket = Socket::create_tcp();
      // Marked as the engine's own before it connects, so the diversion never sends it back
      // into a relay, whatever address the proxy's name gave.
      try {
        _socket->set_mark(OWN_CONNECTION_MARK);
      } catch (const SocketError&) {
        // Without the right to mark, this process cannot divert packets either.
      }
      _socket->set_non_blocking(true);
      if (_socket->start_connect(_connecting_to, _port)) {
        _connected(now);
      } else {
        _watch(EventPoller::WRITE);
      }
      return;
    } catch (const SocketError& error) {
      _last_connect_failure = error.what();
      _drop_socket();
    }
  }
  const std::string detail = _last_connect_failure.empty() ? "connection timed out" : _last_connect_failure;
  _fail(ProxyError(proxy_failure(_plan.kind, _host, _port, detail)), now);
}

void TunnelHandshake::_connected(HandshakeClock::time_point now) {
  _state = State::talking;
  _deadline = now + _plan.timeouts.handshake;
  _exchange(false, now);
}

void TunnelHandshake::on_ready(const EventPoller::Event& event, HandshakeClock::time_point now) {
  if (_state == State::connecting) {
    if (!event.writable && !event.readable) return;
    try {
      _socket->connect_outcome(_connecting_to, _port);
    } catch (const SocketError& error) {
      _last_connect_failure = error.what();
      _drop_socket();
      _connect_next(now);
      return;
    }
    _connected(now);
    return;
  }
  if (_state == State::talking && (event.readable || event.writable)) _exchange(event.readable, now);
}

void TunnelHandshake::on_timer(HandshakeClock::time_point now) {
  if (now < _deadline) return;
  if (_state == State::connecting) {
    _drop_socket();
    _fail(ProxyError(proxy_failure(_plan.kind, _host, _port, "connection timed out")), now);
  } else if (_state == State::talking) {
    _fail(ProxyError(proxy_failure(_plan.kind, _host, _port, "handshake timed out")), now);
  }
}

std::optional<HandshakeClock::time_point> TunnelHandshake::due() const {
  if (_state == State::connecting || _state == State::talking) return _deadline;
  return std::nullopt;
}

template <typename Step>
void TunnelHandshake::_guarded(HandshakeClock::time_point now, Step&& step) {
  try {
    try {
      during_handshake(_plan.kind, _host, _port, step);
    } catch (const ProxyError& error) {
      if (!_plan.to_destination) throw;
      throw ProxyError(error.what(), true);
    }
  } catch (const std::exception& error) {
    _fail(error, now);
  }
}

void TunnelHandshake::_exchange(bool readable, HandshakeClock::time_point now) {
  ProxyDialogue& dialogue = *_plan.dialogue;
  const unsigned attempt = _attempt;
  _guarded(now, [&] {
    if (readable) {
      char received[RECEIVE_CHUNK];
      const std::optional<std::size_t> got = _socket->receive_available(received, sizeof received);
      if (got && *got == 0) dialogue.input_ended();
      if (got) {
        // The dialogue takes the handshake's own bytes; what follows them belongs to the tunnel.
        _received.append(received, *got);
        _received.erase(0, dialogue.take_input(_received));
      }
    }
    _unsent += dialogue.take_output();
    if (!_unsent.empty()) _unsent.erase(0, _socket->send_available(_unsent.data(), _unsent.size()));
  });
  // A failure may have ended this attempt, or begun the next one with another dialogue.
  if (_state != State::talking || _attempt != attempt) return;
  if (dialogue.done() && _unsent.empty()) {
    _succeed();
    return;
  }
  _guarded(now, [&] { _watch(EventPoller::READ | (_unsent.empty() ? 0 : EventPoller::WRITE)); });
}

void TunnelHandshake::_fail(const std::exception& error, HandshakeClock::time_point now) {
  const auto* proxy_error = dynamic_cast<const ProxyError*>(&error);
  if (_by_name && proxy_error != nullptr && proxy_error->name_not_resolved()) {
    _context.log->debug("代理未能解析 {}，改用地址 {}:{}: {}", _order.host_name, _order.dst_ip, _order.dst_port,
                        error.what());
    _by_name = false;
    _drop_socket();
    try {
      std::optional<HandshakePlan> by_address = plan_for(_context, _order, _order.dst_ip);
      if (!by_address) throw std::runtime_error(error.what());
      _plan = std::move(*by_address);
    } catch (const std::exception& refused) {
      _fail(refused, now);
      return;
    }
    _begin(now);
    return;
  }
  _drop_socket();
  _state = State::failed;
  if (!_order.direct) _context.report_upstream(_order.proxy, &error);
  _context.log->debug("中继建立代理连接失败 {}:{}: {}", _order.dst_ip, _order.dst_port, error.what());
}

void TunnelHandshake::_succeed() {
  _state = State::done;
  try {
    _watch(0);
  } catch (const SocketError&) {
    // Whoever takes the socket watches it anew.
  }
  if (!_order.direct) _context.report_upstream(_order.proxy, nullptr);
}

std::shared_ptr<Socket> TunnelHandshake::take_socket(std::string& received) {
  if (_state != State::done) return nullptr;
  received = std::move(_received);
  _received.clear();
  return std::exchange(_socket, nullptr);
}

void TunnelHandshake::_watch(unsigned wanted) {
  if (wanted == _watching) return;
  _poller.watch(_socket->native_handle(), _token, _watching, wanted);
  _watching = wanted;
}

void TunnelHandshake::_drop_socket() noexcept {
  if (_socket) {
    try {
      _watch(0);
    } catch (const std::exception&) {
      // Closing the socket ends its watch in any case.
    }
    _socket->close();
    _socket.reset();
  }
  _watching = 0;
}

}  // namespace tovix
