#include "engine/relay/relay_loop.h"

#include <algorithm>
#include <thread>

#include <spdlog/spdlog.h>

#include "engine/relay/original_destination.h"
#include "engine/sniff/host_sniffer.h"

namespace tovix {
namespace {

constexpr std::uint64_t LISTENER_TOKEN = ~std::uint64_t{0} - 1;
// After a failed accept (out of descriptors, for example) the pending connection stays queued and
// the listener stays readable; the listener rests this long so the loop does not spin.
constexpr std::chrono::milliseconds ACCEPT_ERROR_PAUSE{100};
// Connections accepted per readiness report, so a burst cannot keep the loop from the others.
constexpr int ACCEPTS_PER_REPORT = 64;
// The system signals no event for an emptied send queue; a draining connection looks this often.
constexpr std::chrono::milliseconds DRAIN_POLL{10};
// The most the loop keeps of a client's first bytes while it looks for the host name; the
// sniffer gives up on any message longer than that well before.
constexpr std::size_t FIRST_BYTES_LIMIT = 64 * 1024;
// After the poller itself failed, so a persistent failure cannot make the loop spin.
constexpr std::chrono::milliseconds WAIT_FAILURE_PAUSE{100};

}  // namespace

RelayLoop::RelayLoop(std::shared_ptr<RelayContext> context, std::shared_ptr<Socket> listener, std::string admitted_ip)
    : _context(std::move(context)),
      _listener(std::move(listener)),
      _admitted_ip(std::move(admitted_ip)),
      _poller(std::make_shared<EventPoller>()),
      _inbox(std::make_shared<TunnelInbox>()),
      _handshakes(RelayHub::HANDSHAKE_THREADS, RelayHub::HANDSHAKE_IDLE_EXIT),
      _scratch(new char[RelayHub::COPY_CHUNK]) {
  _inbox->poller = _poller;
}

RelayLoop::~RelayLoop() = default;

void RelayLoop::request_stop(bool reset_clients) noexcept {
  int expected = RUNNING;
  _stop_mode.compare_exchange_strong(expected, reset_clients ? ABORT : STOP);
  _poller->wake();
}

void RelayLoop::visit_connections(const std::function<void(const RelayConnection&)>& visit) const {
  std::lock_guard guard(_table_lock);
  for (const auto& [id, connection] : _connections) visit(*connection);
}

std::size_t RelayLoop::connection_count() const {
  std::lock_guard guard(_table_lock);
  return _connections.size();
}

void RelayLoop::run() {
  std::vector<EventPoller::Event> events;
  try {
    _watch_listener(true);
  } catch (const std::exception& error) {
    _context->log->error("中继事件循环无法监听: {}", error.what());
  }
  while (_stop_mode.load() == RUNNING) {
    try {
      _poller->wait(events, _next_wait(RelayClock::now()));
    } catch (const std::exception& error) {
      _context->log->debug("中继事件等待失败: {}", error.what());
      std::this_thread::sleep_for(WAIT_FAILURE_PAUSE);
      continue;
    }
    if (_stop_mode.load() != RUNNING) break;
    const auto now = RelayClock::now();
    for (const auto& event : events) _dispatch(event, now);
    _take_tunnels();
    _run_due_timers(RelayClock::now());
  }
  _end_all(_stop_mode.load() == ABORT ? Ending::reset : Ending::stop);
}

void RelayLoop::_dispatch(const EventPoller::Event& event, RelayClock::time_point now) {
  try {
    if (event.token == LISTENER_TOKEN) {
      _accept_ready(now);
      return;
    }
    RelayConnection* connection = _find(event.token >> 1);
    // A report for a connection that an earlier report of the same wait already finished.
    if (connection == nullptr) return;
    if (connection->stage == RelayConnection::Stage::sniffing) {
      _sniff_ready(*connection, event);
      return;
    }
    if (connection->stage == RelayConnection::Stage::handshaking) {
      auto handshake = _handshaking.find(connection->id);
      if (handshake == _handshaking.end()) return;
      handshake->second->on_ready(event, now);
      _drive_handshake(*connection);
      return;
    }
    if (connection->stage != RelayConnection::Stage::relaying) return;
    _copy_ready(*connection, static_cast<Side>(event.token & 1), event, now);
  } catch (const std::exception& error) {
    _context->log->debug("中继事件处理异常: {}", error.what());
  }
}

// ---- accept and admit

void RelayLoop::_accept_ready(RelayClock::time_point now) {
  for (int round = 0; round < ACCEPTS_PER_REPORT; ++round) {
    SocketAddress peer;
    std::shared_ptr<Socket> client;
    try {
      client = _listener->accept_non_blocking(peer);
    } catch (const SocketError& error) {
      _context->log->debug("accept 异常: {}", error.what());
      _watch_listener(false);
      _listener_paused_until = now + ACCEPT_ERROR_PAUSE;
      return;
    }
    if (!client) return;
    _admit(std::move(client), peer, now);
  }
}

void RelayLoop::_admit(std::shared_ptr<Socket> client, const SocketAddress& peer, RelayClock::time_point now) {
  _context->log->debug("中继接受连接: {}:{}", peer.first, peer.second);
  // Only the engine's rewritten connections come from its fake source, and only the ones the
  // system redirected here arrive with another destination than the relay's; anything else is
  // another program on this machine, which must not borrow a diverted connection's destination.
  std::optional<SocketAddress> redirected;
  if (peer.first != _admitted_ip) redirected = redirected_from(*client);
  if (peer.first != _admitted_ip && !redirected) {
    _context->log->warn("中继拒绝非转发连接: {}:{}", peer.first, peer.second);
    client->reset();
    return;
  }
  try {
    // The relay adds no delay of its own: the application already chose how to write.
    client->set_no_delay(true);
    // What the relay sends back to a redirected connection matches none of the diversion's
    // rules; marked as the engine's own, it passes them at the first instead of the last.
    if (redirected) client->set_mark(OWN_CONNECTION_MARK);
  } catch (const SocketError&) {
    // Only a small delay on some writes, or a few rules more per packet; the connection works.
  }
  auto connection = std::make_unique<RelayConnection>(++_next_id, std::move(client), peer, _context->live);
  RelayConnection& added = *connection;
  added.redirected_from = std::move(redirected);
  {
    std::lock_guard guard(_table_lock);
    _connections.emplace(added.id, std::move(connection));
  }
  _find_destination(added, now);
}

// ---- destination, first bytes, choice

void RelayLoop::_find_destination(RelayConnection& connection, RelayClock::time_point now) {
  const auto& [src_ip, src_port] = connection.client_addr;
  if (connection.nat_attempts == RelayHub::NAT_LOOKUP_ATTEMPTS) {
    _context->log->warn("中继未找到 NAT 记录: {}:{}", src_ip, src_port);
    _finish(connection, Ending::close);
    return;
  }
  ++connection.nat_attempts;
  if (connection.redirected_from && !_redirect_matches(connection)) {
    _context->log->warn("中继拒绝非转发连接: {}:{}", src_ip, src_port);
    _finish(connection, Ending::reset);
    return;
  }
  NatClaim claim = _context->nat_table->claim(src_port);
  if (claim.already_claimed) {
    // The diverted connection with this port is served already: this one only borrows its number.
    _context->log->warn("中继拒绝重复连接: {}:{}", src_ip, src_port);
    _finish(connection, Ending::reset);
    return;
  }
  if (!claim.entry) {
    // The packet handler records the connection before passing its SYN on, but under load the
    // accept can still come first.
    _arm(connection, now + RelayHub::NAT_LOOKUP_PAUSE);
    return;
  }
  connection.entry = std::move(claim.entry);
  _context->log->debug("中继转发: {}:{} → {}:{}", src_ip, src_port, connection.entry->original_dst_ip,
                       connection.entry->original_dst_port);
  _read_first_bytes(connection, now);
}

// A redirected connection's entry is the one its port holds for exactly that client and
// destination: another program that happens to be redirected from the same port number does
// not take it. No entry yet is left to the look-up's retries.
bool RelayLoop::_redirect_matches(const RelayConnection& connection) const {
  const std::optional<NatEntry> entry = _context->nat_table->get(connection.client_addr.second);
  if (!entry) return true;
  return entry->original_src_ip == connection.client_addr.first &&
         SocketAddress{entry->original_dst_ip, entry->original_dst_port} == *connection.redirected_from;
}

void RelayLoop::_read_first_bytes(RelayConnection& connection, RelayClock::time_point now) {
  // A client of a server that speaks first says nothing until greeted: no wait for it.
  if (!_context->options.read_host_names || server_speaks_first(connection.entry->original_dst_port)) {
    _choose_upstream(connection);
    return;
  }
  // A connection that is blocked or goes direct whatever its name is not kept waiting.
  if (_context->options.chooser) {
    const UpstreamChoice early = _ask_chooser(connection);
    if (early.settled && early.way != UpstreamChoice::Way::relay_proxy &&
        early.way != UpstreamChoice::Way::other_proxy) {
      _follow(connection, early);
      return;
    }
  }
  connection.stage = RelayConnection::Stage::sniffing;
  _arm(connection, now + SNIFF_WAIT);
  _update_watch(connection);
  // The first bytes often came with the connection already.
  EventPoller::Event client_ready;
  client_ready.readable = true;
  _sniff_ready(connection, client_ready);
}

void RelayLoop::_sniff_ready(RelayConnection& connection, const EventPoller::Event& event) {
  if (event.exceptional) {
    _finish(connection, Ending::close);
    return;
  }
  std::string& bytes = connection.first_bytes;
  std::optional<std::string> name;
  while (bytes.size() < FIRST_BYTES_LIMIT) {
    std::optional<std::size_t> received;
    try {
      received = connection.client->receive_available(_scratch.get(),
                                                      std::min(RelayHub::COPY_CHUNK, FIRST_BYTES_LIMIT - bytes.size()));
    } catch (const SocketError&) {
      _finish(connection, Ending::close);  // the client reset: nothing to carry
      return;
    }
    if (!received) return;  // more may come before the wait ends
    // The client ended its side: what it sent goes on, and the copy reads the end again.
    if (*received == 0) break;
    bytes.append(_scratch.get(), *received);
    SniffResult result = sniff_host_name(bytes);
    if (result.outcome == SniffOutcome::need_more) continue;
    if (result.outcome == SniffOutcome::name) name = std::move(result.name);
    break;
  }
  _end_sniff(connection, std::move(name));
}

void RelayLoop::_end_sniff(RelayConnection& connection, std::optional<std::string> name) {
  // The wait's timer has nothing more to do.
  connection.timer_due.reset();
  ++connection.timer_serial;
  if (name) {
    std::lock_guard guard(_table_lock);
    connection.host_name = std::move(name);
  }
  _choose_upstream(connection);
}

UpstreamChoice RelayLoop::_ask_chooser(const RelayConnection& connection) const {
  if (!_context->options.chooser) return UpstreamChoice::relay_proxy();
  const NatEntry& entry = *connection.entry;
  try {
    return _context->options.chooser(ConnectionRequest{connection.client_addr.second, entry.original_src_ip,
                                                       entry.original_dst_ip, entry.original_dst_port,
                                                       connection.host_name});
  } catch (...) {
    return UpstreamChoice::block();
  }
}

void RelayLoop::_choose_upstream(RelayConnection& connection) { _follow(connection, _ask_chooser(connection)); }

void RelayLoop::_follow(RelayConnection& connection, const UpstreamChoice& choice) {
  const NatEntry& entry = *connection.entry;
  {
    std::lock_guard guard(_table_lock);
    connection.reason = choice.reason;
  }
  TunnelOrder order{connection.id,
                    entry.original_dst_ip,
                    entry.original_dst_port,
                    {},
                    false,
                    {},
                    connection.client,
                    std::move(connection.first_bytes)};
  connection.first_bytes.clear();
  if (connection.host_name && choice.name_to_proxy) order.host_name = *connection.host_name;
  try {
    switch (choice.way) {
      case UpstreamChoice::Way::block:
        _context->log->debug("中继拦截连接: {}:{} → {}:{}", connection.client_addr.first, connection.client_addr.second,
                             entry.original_dst_ip, entry.original_dst_port);
        _finish(connection, Ending::reset);
        return;
      case UpstreamChoice::Way::direct:
        order.direct = true;
        order.host_name.clear();  // the address the program's own resolver gave
        break;
      case UpstreamChoice::Way::other_proxy:
        order.proxy = read_proxy_settings(choice.proxy);
        break;
      case UpstreamChoice::Way::relay_proxy:
        order.proxy = read_proxy_settings(_context->proxy_config());
        break;
    }
  } catch (const std::exception& error) {
    _context->log->debug("中继建立代理连接失败 {}:{}: {}", entry.original_dst_ip, entry.original_dst_port,
                         error.what());
    _finish(connection, Ending::close);
    return;
  }
  _start_handshake(connection, std::move(order));
}

// ---- copy and drain

void RelayLoop::_start_copy(RelayConnection& connection, OpenedTunnel tunnel) {
  connection.upstream = std::move(tunnel.upstream);
  connection.uploaded += tunnel.forwarded;
  connection.send_first(tunnel.unsent);
  connection.answer_first(tunnel.received);
  connection.stage = RelayConnection::Stage::relaying;
  connection.tunnel_up = true;
  _update_watch(connection);
  if (tunnel.forwarded > 0) return;
  // A client that had not spoken when the handshake ended most likely has by now: its first
  // bytes go on without another wait.
  EventPoller::Event client_ready;
  client_ready.readable = true;
  client_ready.writable = true;  // the upstream's first answer, if it came with the handshake's
  _copy_ready(connection, Side::client, client_ready, RelayClock::now());
}

void RelayLoop::_copy_ready(RelayConnection& connection, Side side, const EventPoller::Event& event,
                            RelayClock::time_point now) {
  if (!connection.on_ready(side, event, _scratch.get(), RelayHub::COPY_CHUNK, *_context, now) ||
      connection.copy_done()) {
    _end_copy(connection, now);
    return;
  }
  _update_watch(connection);
  if (auto due = connection.hold_due()) _arm(connection, *due);
}

void RelayLoop::_end_copy(RelayConnection& connection, RelayClock::time_point now) {
  _stop_watching(connection);
  connection.upstream->close();
  connection.drain_deadline = now + RelayHub::SEND_DRAIN_WAIT;
  _check_drain(connection, now);
}

void RelayLoop::_check_drain(RelayConnection& connection, RelayClock::time_point now) {
  // The NAT entry goes with the connection, and with it the translation of the relay's segments
  // towards the application: the answer's tail must have reached the application first.
  if (connection.client->unsent_bytes() == 0 || now >= connection.drain_deadline) {
    _finish(connection, Ending::close);
    return;
  }
  _arm(connection, std::min(now + DRAIN_POLL, connection.drain_deadline));
}

void RelayLoop::_finish(RelayConnection& connection, Ending how) {
  _stop_watching(connection);
  _handshaking.erase(connection.id);  // closes its socket; a stopped handshake reports nothing
  if (connection.handshake_abandoned) {
    // The handshake job may still read the client: it is shut down here and closed when the job
    // lets go of it, so its descriptor number cannot pass to another socket under the job.
    connection.handshake_abandoned->store(true);
    if (how == Ending::reset) {
      connection.client->abort();
    } else {
      connection.client->shutdown();
    }
  } else {
    if (how == Ending::reset) connection.client->reset();
    if (how == Ending::stop) connection.client->shutdown();
    connection.client->close();
  }
  if (connection.upstream) {
    if (how != Ending::close) connection.upstream->shutdown();
    connection.upstream->close();
  }
  // Only the entry this connection served: a newer connection may already reuse the port.
  if (connection.entry) _context->nat_table->remove_if_same(connection.client_addr.second, *connection.entry);
  std::unique_ptr<RelayConnection> gone;
  {
    std::lock_guard guard(_table_lock);
    auto it = _connections.find(connection.id);
    gone = std::move(it->second);
    _connections.erase(it);
  }
}

void RelayLoop::_end_all(Ending how) {
  try {
    _watch_listener(false);
  } catch (const std::exception&) {
    // The listener is closed by the hub right after.
  }
  _handshakes.close();
  {
    std::lock_guard guard(_inbox->lock);
    _inbox->closed = true;
    for (auto& tunnel : _inbox->delivered)
      if (tunnel.upstream) tunnel.upstream->close();
    _inbox->delivered.clear();
    _inbox->resolved.clear();
  }
  std::vector<std::uint64_t> ids;
  {
    std::lock_guard guard(_table_lock);
    for (const auto& [id, connection] : _connections) ids.push_back(id);
  }
  for (std::uint64_t id : ids) _finish(*_find(id), how);
}

// ---- timers and watching

void RelayLoop::_arm(RelayConnection& connection, RelayClock::time_point due) {
  if (connection.timer_due && *connection.timer_due <= due) return;
  connection.timer_due = due;
  _timers.push(Timer{due, connection.id, ++connection.timer_serial});
}

void RelayLoop::_run_due_timers(RelayClock::time_point now) {
  while (!_timers.empty() && _timers.top().due <= now) {
    const Timer timer = _timers.top();
    _timers.pop();
    RelayConnection* connection = _find(timer.id);
    if (connection == nullptr || connection->timer_serial != timer.serial) continue;
    connection->timer_due.reset();
    try {
      _on_timer(*connection, now);
    } catch (const std::exception& error) {
      _context->log->debug("中继事件处理异常: {}", error.what());
    }
  }
  if (_listener_paused_until && *_listener_paused_until <= now) {
    _listener_paused_until.reset();
    try {
      _watch_listener(true);
    } catch (const std::exception& error) {
      _context->log->debug("accept 异常: {}", error.what());
      _listener_paused_until = now + ACCEPT_ERROR_PAUSE;
    }
  }
}

void RelayLoop::_on_timer(RelayConnection& connection, RelayClock::time_point now) {
  switch (connection.stage) {
    case RelayConnection::Stage::awaiting_entry:
      _find_destination(connection, now);
      return;
    case RelayConnection::Stage::sniffing:
      // The wait is over: the connection goes by address, with what the client said so far.
      _end_sniff(connection, std::nullopt);
      return;
    case RelayConnection::Stage::handshaking: {
      auto handshake = _handshaking.find(connection.id);
      if (handshake == _handshaking.end()) return;  // a handshake thread has it
      handshake->second->on_timer(now);
      _drive_handshake(connection);
      return;
    }
    case RelayConnection::Stage::relaying:
      connection.pass_on_ends(now);
      if (connection.copy_done()) {
        _end_copy(connection, now);
        return;
      }
      _update_watch(connection);
      if (auto due = connection.hold_due()) _arm(connection, *due);
      return;
    case RelayConnection::Stage::draining:
      _check_drain(connection, now);
      return;
  }
}

std::chrono::milliseconds RelayLoop::_next_wait(RelayClock::time_point now) const {
  std::optional<RelayClock::time_point> next = _listener_paused_until;
  if (!_timers.empty() && (!next || _timers.top().due < *next)) next = _timers.top().due;
  if (!next) return std::chrono::milliseconds(-1);
  if (*next <= now) return std::chrono::milliseconds(0);
  return std::chrono::ceil<std::chrono::milliseconds>(*next - now);
}

void RelayLoop::_update_watch(RelayConnection& connection) {
  const unsigned client_wanted = connection.wanted(Side::client);
  if (client_wanted != connection.client_watch) {
    _poller->watch(connection.client->native_handle(), token_of(connection.id, Side::client), connection.client_watch,
                   client_wanted);
    connection.client_watch = client_wanted;
  }
  const unsigned upstream_wanted = connection.upstream ? connection.wanted(Side::upstream) : 0;
  if (upstream_wanted != connection.upstream_watch) {
    _poller->watch(connection.upstream->native_handle(), token_of(connection.id, Side::upstream),
                   connection.upstream_watch, upstream_wanted);
    connection.upstream_watch = upstream_wanted;
  }
}

void RelayLoop::_stop_watching(RelayConnection& connection) noexcept {
  connection.stage = RelayConnection::Stage::draining;
  try {
    _update_watch(connection);
  } catch (const std::exception& error) {
    // Closing the sockets ends their watch in any case.
    _context->log->debug("中继事件处理异常: {}", error.what());
  }
}

void RelayLoop::_watch_listener(bool on) {
  const unsigned wanted = on ? EventPoller::READ : 0;
  if (wanted == _listener_watch) return;
  _poller->watch(_listener->native_handle(), LISTENER_TOKEN, _listener_watch, wanted);
  _listener_watch = wanted;
}

RelayConnection* RelayLoop::_find(std::uint64_t id) {
  // Only the loop thread changes the table, so it reads it without the lock.
  auto it = _connections.find(id);
  return it == _connections.end() ? nullptr : it->second.get();
}

}  // namespace tovix
