// The relay loop's handshake step: the tunnel to the chosen upstream is opened on the loop itself
// where the upstream's handler can be driven on readiness, on a handshake thread where it can only
// block; proxy host names are looked up on a handshake thread either way.
#include "engine/relay/relay_loop.h"

namespace tovix {

bool RelayLoop::TunnelInbox::deliver(OpenedTunnel tunnel) {
  {
    std::lock_guard guard(lock);
    if (closed) return false;
    delivered.push_back(std::move(tunnel));
  }
  poller->wake();
  return true;
}

void RelayLoop::TunnelInbox::deliver(Resolution resolution) {
  {
    std::lock_guard guard(lock);
    if (closed) return;
    resolved.push_back(std::move(resolution));
  }
  poller->wake();
}

void RelayLoop::_start_handshake(RelayConnection& connection, TunnelOrder order) {
  connection.stage = RelayConnection::Stage::handshaking;
  _update_watch(connection);  // the client is read again once the tunnel stands
  std::unique_ptr<TunnelHandshake> handshake =
      TunnelHandshake::create(*_context, order, *_poller, token_of(connection.id, Side::upstream));
  if (!handshake) {
    _start_blocking_handshake(connection, std::move(order));
    return;
  }
  const auto now = RelayClock::now();
  TunnelHandshake& started = *handshake;
  _handshaking.emplace(connection.id, std::move(handshake));
  started.start(now);
  if (started.state() == TunnelHandshake::State::resolving) _resolve_proxy_host(connection, started);
  _drive_handshake(connection);
}

void RelayLoop::_resolve_proxy_host(RelayConnection& connection, const TunnelHandshake& handshake) {
  bool queued = false;
  try {
    queued = _handshakes.submit(upstream_key(handshake.order()),
                                [inbox = _inbox, id = connection.id, host = handshake.host(), live = connection.live] {
                                  Resolution resolution{id, {}, {}};
                                  try {
                                    resolution.addresses = resolve_ipv4(host);
                                  } catch (const std::exception& error) {
                                    resolution.failure = error.what();
                                  }
                                  inbox->deliver(std::move(resolution));
                                });
  } catch (const std::exception& error) {
    _context->log->debug("中继建立代理连接失败 {}:{}: {}", connection.entry->original_dst_ip,
                         connection.entry->original_dst_port, error.what());
  }
  if (!queued) _handshaking.erase(connection.id);  // the connection finishes below
}

void RelayLoop::_drive_handshake(RelayConnection& connection) {
  auto found = _handshaking.find(connection.id);
  if (found == _handshaking.end()) {
    _finish(connection, Ending::close);
    return;
  }
  TunnelHandshake& handshake = *found->second;
  switch (handshake.state()) {
    case TunnelHandshake::State::resolving:
      return;
    case TunnelHandshake::State::connecting:
    case TunnelHandshake::State::talking:
      _arm(connection, *handshake.due());
      return;
    case TunnelHandshake::State::failed:
      _handshaking.erase(found);
      _finish(connection, Ending::close);
      return;
    case TunnelHandshake::State::done:
      break;
  }
  std::unique_ptr<TunnelHandshake> finished = std::move(found->second);
  _handshaking.erase(found);
  OpenedTunnel tunnel;
  tunnel.connection_id = connection.id;
  tunnel.upstream = finished->take_socket(tunnel.received);
  if (!prime_tunnel(*_context, finished->order(), tunnel)) {
    _finish(connection, Ending::close);
    return;
  }
  _start_copy(connection, std::move(tunnel));
}

void RelayLoop::_start_blocking_handshake(RelayConnection& connection, TunnelOrder order) {
  auto abandoned = std::make_shared<std::atomic<bool>>(false);
  connection.handshake_abandoned = abandoned;
  const std::string key = upstream_key(order);
  bool queued = false;
  try {
    queued = _handshakes.submit(
        key, [context = _context, inbox = _inbox, order = std::move(order), abandoned, live = connection.live] {
          OpenedTunnel tunnel = open_and_prime_tunnel(*context, order, *abandoned);
          std::shared_ptr<Socket> upstream = tunnel.upstream;
          if (!inbox->deliver(std::move(tunnel)) && upstream) upstream->close();
        });
  } catch (const std::exception& error) {
    _context->log->debug("中继建立代理连接失败 {}:{}: {}", connection.entry->original_dst_ip,
                         connection.entry->original_dst_port, error.what());
  }
  if (!queued) _finish(connection, Ending::close);
}

void RelayLoop::_take_tunnels() {
  std::vector<OpenedTunnel> delivered;
  std::vector<Resolution> resolved;
  {
    std::lock_guard guard(_inbox->lock);
    delivered.swap(_inbox->delivered);
    resolved.swap(_inbox->resolved);
  }
  for (auto& resolution : resolved) {
    RelayConnection* connection = _find(resolution.connection_id);
    auto handshake = _handshaking.find(resolution.connection_id);
    if (connection == nullptr || handshake == _handshaking.end()) continue;
    try {
      const auto now = RelayClock::now();
      handshake->second->resolved(resolution.addresses, resolution.failure, now);
      _drive_handshake(*connection);
    } catch (const std::exception& error) {
      _context->log->debug("中继事件处理异常: {}", error.what());
    }
  }
  for (auto& tunnel : delivered) {
    RelayConnection* connection = _find(tunnel.connection_id);
    if (connection == nullptr || connection->stage != RelayConnection::Stage::handshaking) {
      if (tunnel.upstream) tunnel.upstream->close();
      continue;
    }
    connection->handshake_abandoned.reset();
    try {
      if (tunnel.upstream) {
        _start_copy(*connection, std::move(tunnel));
      } else {
        _finish(*connection, Ending::close);
      }
    } catch (const std::exception& error) {
      _context->log->debug("中继事件处理异常: {}", error.what());
    }
  }
}

}  // namespace tovix
