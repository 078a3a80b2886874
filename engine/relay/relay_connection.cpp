#include "engine/relay/relay_connection.h"

#include <algorithm>
#include <cstring>

#include "engine/relay/application_socket.h"

namespace tovix {
namespace {

// Receives per readiness report and direction, so that one busy connection cannot keep the loop
// from the others for long.
constexpr int RECEIVES_PER_REPORT = 8;
// A program that closes its socket sends its end before the system lets go of the socket, so the
// first look, right at the end, may come too early; one more look a moment later settles it.
constexpr int CLIENT_CHECKS = 2;
constexpr std::chrono::milliseconds CLIENT_RECHECK{10};

Side other(Side side) { return side == Side::client ? Side::upstream : Side::client; }

}  // namespace

void PendingBytes::hold(const char* data, std::size_t size) {
  _bytes.reset(new char[size]);
  std::memcpy(_bytes.get(), data, size);
  _size = size;
  _offset = 0;
}

void PendingBytes::consumed(std::size_t count) {
  _offset += count;
  if (_offset < _size) return;
  _bytes.reset();
  _size = _offset = 0;
}

RelayConnection::RelayConnection(std::uint64_t id, std::shared_ptr<Socket> client, SocketAddress client_addr,
                                 std::shared_ptr<LiveCount> live)
    : id(id),
      client(std::move(client)),
      client_addr(std::move(client_addr)),
      live(std::make_shared<LiveToken>(std::move(live))) {}

unsigned RelayConnection::wanted(Side side) const {
  if (stage == Stage::sniffing) return side == Side::client ? EventPoller::READ : 0;
  if (stage != Stage::relaying) return 0;
  const Direction& outgoing = side == Side::client ? _up : _down;
  const Direction& incoming = side == Side::client ? _down : _up;
  return (outgoing.reading() ? EventPoller::READ : 0) | (incoming.holds() ? EventPoller::WRITE : 0);
}

bool RelayConnection::on_ready(Side side, const EventPoller::Event& event, char* scratch, std::size_t scratch_size,
                               RelayContext& context, RelayClock::time_point now) {
  if (event.exceptional) return false;
  try {
    const Direction& incoming = side == Side::client ? _down : _up;
    if (event.writable && incoming.holds()) {
      _flush(side, context);
      // The upstream's bytes still move on to the client: it is held back, not quiet.
      if (side == Side::client) _upstream_quiet_since = now;
    }
    if (event.readable && _from(side).reading()) _pump(side, scratch, scratch_size, context, now);
  } catch (const SocketError&) {
    // A reset or a failed send ends the connection without a log line.
    return false;
  }
  pass_on_ends(now);
  return true;
}

void RelayConnection::_pump(Side from, char* scratch, std::size_t scratch_size, RelayContext& context,
                            RelayClock::time_point now) {
  if (_pump_through_pipe(from, context, now)) return;
  Direction& direction = _from(from);
  Socket& source = _socket(from);
  Socket& sink = _socket(other(from));
  for (int round = 0; round < RECEIVES_PER_REPORT; ++round) {
    const std::optional<std::size_t> received = source.receive_available(scratch, scratch_size);
    if (!received) return;
    if (*received == 0) {
      direction.source_ended = true;
      if (from == Side::client) _upstream_quiet_since = now;
      return;
    }
    if (from == Side::upstream) _upstream_quiet_since = now;
    const std::size_t sent = sink.send_available(scratch, *received);
    _count(from, sent, context);
    if (sent < *received) {
      direction.pending.hold(scratch + sent, *received - sent);
      return;
    }
    if (*received < scratch_size) return;  // most likely drained; the poller tells otherwise
    // A full chunk: a bulk transfer, which the pipe carries from the next report on.
    if (!direction.pipe && !direction.pipe_unavailable) {
      direction.pipe = SocketPipe::open();
      direction.pipe_unavailable = !direction.pipe;
    }
  }
}

bool RelayConnection::_pump_through_pipe(Side from, RelayContext& context, RelayClock::time_point now) {
  Direction& direction = _from(from);
  if (!direction.pipe) return false;
  Socket& source = _socket(from);
  Socket& sink = _socket(other(from));
  for (int round = 0; round < RECEIVES_PER_REPORT; ++round) {
    const std::size_t room = direction.pipe->capacity() - direction.pipe->held();
    const std::optional<std::size_t> received = direction.pipe->fill(source);
    if (!received) return true;
    if (*received == 0) {
      direction.source_ended = true;
      if (from == Side::client) _upstream_quiet_since = now;
      return true;
    }
    if (from == Side::upstream) _upstream_quiet_since = now;
    _count(from, direction.pipe->drain(sink), context);
    if (direction.pipe->held() > 0) return true;  // the sink is full: wait until it is writable
    // Less than the pipe could take: the source is most likely drained, and the poller says so
    // if it is not, without a receive that finds nothing.
    if (*received < room) return true;
  }
  return true;
}

void RelayConnection::_flush(Side to, RelayContext& context) {
  Direction& direction = _from(other(to));
  if (direction.pipe && direction.pipe->held() > 0) {
    _count(other(to), direction.pipe->drain(_socket(to)), context);
    return;
  }
  const std::size_t sent = _socket(to).send_available(direction.pending.data(), direction.pending.size());
  _count(other(to), sent, context);
  direction.pending.consumed(sent);
}

void RelayConnection::_count(Side from, std::size_t bytes, RelayContext& context) {
  if (bytes == 0) return;
  if (from == Side::client) {
    context.add_traffic(bytes, 0);
    uploaded.fetch_add(bytes, std::memory_order_relaxed);
  } else {
    context.add_traffic(0, bytes);
    downloaded.fetch_add(bytes, std::memory_order_relaxed);
  }
}

void RelayConnection::send_first(const std::string& bytes) {
  if (!bytes.empty()) _up.pending.hold(bytes.data(), bytes.size());
}

void RelayConnection::answer_first(const std::string& bytes) {
  if (!bytes.empty()) _down.pending.hold(bytes.data(), bytes.size());
}

void RelayConnection::pass_on_ends(RelayClock::time_point now) {
  if (_down.source_ended && !_down.holds() && !_down.sink_told) {
    client->shutdown_send();
    _down.sink_told = true;
  }
  if (_up.source_ended && !_up.holds() && !_up.sink_told) {
    // The upstream hears of the client's end once it has nothing more to say, or has been quiet
    // for the hold, or at once when the client's program closed its socket for good.
    if (_down.source_ended || _upstream_quiet(now) || _client_closed(now)) {
      upstream->shutdown_send();
      _up.sink_told = true;
      _client_end_held = false;
    } else {
      _client_end_held = true;
    }
  }
}

bool RelayConnection::_client_closed(RelayClock::time_point now) {
  if (_client_closed_for_good || _client_checks == CLIENT_CHECKS) return _client_closed_for_good;
  if (_client_checks > 0 && now < _client_checked_at + CLIENT_RECHECK) return false;
  ++_client_checks;
  _client_checked_at = now;
  _client_closed_for_good = application_socket_closed();
  return _client_closed_for_good;
}

bool RelayConnection::application_socket_closed() const {
  try {
    // The program's socket as the relay sees it (a client of the relay's own address), else as
    // the program made it, towards its original destination.
    if (const std::optional<bool> closed = application_closed(client_addr, client->local_address())) return *closed;
    if (!entry) return false;
    return application_closed({entry->original_src_ip, client_addr.second},
                              {entry->original_dst_ip, entry->original_dst_port})
        .value_or(false);
  } catch (const SocketError&) {
    return false;
  }
}

// Whether the upstream has sent nothing for the hold. While its bytes wait for a client that
// does not read, the relay reads nothing more from it: that is no quiet, and the upstream may
// have much more to say.
bool RelayConnection::_upstream_quiet(RelayClock::time_point now) const {
  return !_down.holds() && now - _upstream_quiet_since >= RelayHub::HALF_CLOSE_HOLD;
}

std::optional<RelayClock::time_point> RelayConnection::hold_due() const {
  if (!_client_end_held) return std::nullopt;
  // While bytes wait for the client, the flush that moves them on looks again.
  const std::optional<RelayClock::time_point> quiet_enough =
      _down.holds() ? std::nullopt : std::optional(_upstream_quiet_since + RelayHub::HALF_CLOSE_HOLD);
  if (_client_checks == 0 || _client_checks == CLIENT_CHECKS) return quiet_enough;
  const RelayClock::time_point recheck = _client_checked_at + CLIENT_RECHECK;
  return quiet_enough ? std::min(*quiet_enough, recheck) : recheck;
}

}  // namespace tovix
