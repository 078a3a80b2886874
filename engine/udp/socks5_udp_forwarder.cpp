#include "engine/udp/socks5_udp_forwarder.h"

#include <exception>

#include "common/logging.h"

namespace tovix {
namespace {

// How often the reader thread looks for quiet associations without being woken.
constexpr std::chrono::milliseconds kHousekeepingPeriod{1000};
// Answers read from one association before the others get their turn.
constexpr int kAnswersPerTurn = 64;

double wall_clock_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

Socks5UdpForwarder::Socks5UdpForwarder(Socks5Server server, Callbacks callbacks, Options options)
    : _server(std::move(server)),
      _callbacks(std::move(callbacks)),
      _options(std::move(options)),
      _flows(_options.clock),
      _wake_socket(Socket::create_udp()) {
  _wake_socket->bind("127.0.0.1", 0);
  const auto self = _wake_socket->local_address();
  _wake_socket->connect(self.first, self.second, std::chrono::seconds(1));
  _wake_socket->set_non_blocking(true);
  _io_thread = std::thread([this] { _run_io(); });
  for (std::size_t i = 0; i < std::max<std::size_t>(1, _options.opener_threads); ++i) {
    _openers.emplace_back([this] { _run_opener(); });
  }
}

Socks5UdpForwarder::~Socks5UdpForwarder() { stop(); }

void Socks5UdpForwarder::stop() {
  std::lock_guard stop_guard(_stop_lock);
  if (_stopped) return;
  {
    std::lock_guard guard(_lock);
    _stopping = true;
  }
  _abort.abort();
  _open_wanted.notify_all();
  _wake();
  _io_thread.join();
  for (auto& opener : _openers) opener.join();
  _wake_socket->close();
  _stopped = true;
}

UdpSendResult Socks5UdpForwarder::send(const IpEndpoint& program, const IpEndpoint& destination,
                                       std::span<const std::uint8_t> payload) {
  if (_refuses_udp) return UdpSendResult::refused;
  bool wake = false;
  UdpSendResult result = UdpSendResult::held;
  {
    std::lock_guard guard(_lock);
    if (_stopping) return UdpSendResult::dropped;
    if (Flow* flow = _flows.find(program)) {
      _flows.touch(program, destination.port);
      flow->destination = destination;
      if (!flow->association) {
        if (flow->held.size() >= _options.max_held_per_association) return UdpSendResult::dropped;
        flow->held.push_back({destination, {payload.begin(), payload.end()}});
        flow->bytes_up += payload.size();
        return UdpSendResult::held;
      }
      try {
        flow->association->send(destination, payload);
        flow->bytes_up += payload.size();
        return UdpSendResult::sent;
      } catch (const SocketError& error) {
        // Too large, or the relay is gone: this flow ends, the next datagram opens a new one.
        get_logger(LOGGER_ENGINE)
            ->debug("UDP 数据报无法经代理发出 {} -> {}: {}", program.text(), destination.text(), error.what());
        _end_flow_locked(program, flow->id);
        result = UdpSendResult::dropped;
        wake = true;
      }
    } else {
      if (_flows.size() >= _options.max_associations) {
        if (const auto quietest = _flows.least_recently_active()) _end_flow_locked(*quietest, std::nullopt);
        wake = true;
      }
      Flow opening;
      opening.id = ++_next_id;
      opening.held.push_back({destination, {payload.begin(), payload.end()}});
      opening.destination = destination;
      opening.bytes_up = payload.size();
      opening.started_at = wall_clock_seconds();
      _flows.insert(program, destination.port, std::move(opening));
      _to_open.emplace_back(program, _next_id);
      _open_wanted.notify_one();
    }
  }
  if (wake) _wake();
  return result;
}

void Socks5UdpForwarder::expire_idle() {
  bool closed = false;
  {
    std::lock_guard guard(_lock);
    for (auto& [program, flow] : _flows.take_idle()) {
      if (flow.association) _to_close.push_back(std::move(flow.association));
      closed = true;
    }
  }
  if (closed) _wake();
}

std::size_t Socks5UdpForwarder::association_count() const {
  std::lock_guard guard(_lock);
  return _flows.size();
}

std::vector<Socks5UdpForwarder::FlowTraffic> Socks5UdpForwarder::flow_traffic() const {
  std::vector<FlowTraffic> out;
  std::lock_guard guard(_lock);
  out.reserve(_flows.size());
  _flows.for_each([&](const IpEndpoint& program, const Flow& flow) {
    out.push_back({program, flow.destination, flow.bytes_up, flow.bytes_down, flow.started_at});
  });
  return out;
}

void Socks5UdpForwarder::_end_flow_locked(const IpEndpoint& program, std::optional<std::uint64_t> id) {
  Flow* flow = _flows.find(program);
  if (!flow || (id && flow->id != *id)) return;
  if (flow->association) _to_close.push_back(std::move(flow->association));
  _flows.remove(program);
}

void Socks5UdpForwarder::_end_flow(const IpEndpoint& program, std::uint64_t id) {
  std::lock_guard guard(_lock);
  _end_flow_locked(program, id);
}

void Socks5UdpForwarder::_wake() {
  const std::uint8_t byte = 0;
  try {
    _wake_socket->send_all(&byte, 1);
  } catch (const SocketError&) {
    // A full queue already holds a wake-up.
  }
}

// ---- opening associations

void Socks5UdpForwarder::_run_opener() {
  for (;;) {
    std::pair<IpEndpoint, std::uint64_t> job;
    {
      std::unique_lock guard(_lock);
      _open_wanted.wait(guard, [this] { return _stopping || !_to_open.empty(); });
      if (_stopping) return;
      job = _to_open.front();
      _to_open.pop_front();
    }
    _open(job.first, job.second);
  }
}

void Socks5UdpForwarder::_open(const IpEndpoint& program, std::uint64_t id) {
  std::shared_ptr<Socks5UdpAssociation> association;
  bool refused = false;
  try {
    association = Socks5UdpAssociation::open(_server, _options.timeouts, &_abort);
  } catch (const UdpAssociateRefused& error) {
    refused = true;
    if (!_refuses_udp.exchange(true)) get_logger(LOGGER_ENGINE)->warn("代理不支持 UDP 转发: {}", error.what());
  } catch (const std::exception& error) {
    if (!_abort.aborted()) get_logger(LOGGER_ENGINE)->warn("UDP 关联建立失败: {}", error.what());
  }

  std::vector<HeldDatagram> undeliverable;
  {
    std::lock_guard guard(_lock);
    Flow* flow = _flows.find(program);
    // Gone meanwhile (quiet too long, crowded out, stopping): the new association was never
    // waited on, so it closes here.
    if (_stopping || !flow || flow->id != id) return;
    if (!association) {
      undeliverable = std::move(flow->held);
      _flows.remove(program);
    } else {
      flow->association = std::move(association);
      try {
        for (const auto& datagram : flow->held) flow->association->send(datagram.destination, datagram.payload);
      } catch (const SocketError& error) {
        get_logger(LOGGER_ENGINE)->debug("UDP 数据报无法经代理发出 {}: {}", program.text(), error.what());
        _end_flow_locked(program, id);
      }
      if (Flow* still = _flows.find(program)) still->held.clear();
    }
  }
  _wake();  // a new association to wait on, or a closed one to drop
  if (_callbacks.undeliverable) {
    for (const auto& datagram : undeliverable) {
      _callbacks.undeliverable(program, datagram.destination, datagram.payload, refused);
    }
  }
}

// ---- the reader thread

void Socks5UdpForwarder::_run_io() {
  std::vector<std::uint8_t> buffer;
  std::vector<Watched> watched;
  std::vector<Socket*> sockets;
  for (;;) {
    std::vector<std::shared_ptr<Socks5UdpAssociation>> closing;
    watched.clear();
    {
      std::lock_guard guard(_lock);
      if (_stopping) {
        _flows.for_each([&](const IpEndpoint&, Flow& flow) {
          if (flow.association) closing.push_back(std::move(flow.association));
        });
        closing.insert(closing.end(), _to_close.begin(), _to_close.end());
        _to_close.clear();
        return;  // `closing` closes them on the way out
      }
      closing.swap(_to_close);
      _flows.for_each([&](const IpEndpoint& program, Flow& flow) {
        if (flow.association) watched.push_back({program, flow.id, flow.association});
      });
    }
    closing.clear();

    sockets.assign(1, _wake_socket.get());
    for (const auto& item : watched) {
      sockets.push_back(&item.association->datagrams());
      sockets.push_back(&item.association->control());
    }
    std::vector<Readiness> ready;
    try {
      ready = wait_readable(sockets, kHousekeepingPeriod);
    } catch (const SocketError& error) {
      get_logger(LOGGER_ENGINE)->warn("UDP 转发等待失败: {}", error.what());
      ready.assign(sockets.size(), Readiness{});
    }
    if (ready[0].readable) {
      std::uint8_t drain[64];
      try {
        while (_wake_socket->receive(drain, sizeof drain) > 0) {
        }
      } catch (const SocketError&) {
        // Nothing more waiting.
      }
    }
    for (std::size_t i = 0; i < watched.size(); ++i) {
      const Readiness& datagrams = ready[1 + 2 * i];
      const Readiness& control = ready[2 + 2 * i];
      if (datagrams.readable || datagrams.exceptional) _read_answers(watched[i], buffer);
      if (control.readable || control.exceptional) {
        std::uint8_t discard[512];
        std::size_t got = 0;
        try {
          got = watched[i].association->control().receive(discard, sizeof discard);
        } catch (const SocketError&) {
        }
        // The association lives as long as its control connection.
        if (got == 0) _end_flow(watched[i].program, watched[i].id);
      }
    }
    expire_idle();
  }
}

void Socks5UdpForwarder::_read_answers(const Watched& watched, std::vector<std::uint8_t>& buffer) {
  for (int turn = 0; turn < kAnswersPerTurn; ++turn) {
    SocksUdpDatagram datagram;
    try {
      datagram = watched.association->receive(buffer);
    } catch (const SocketError& error) {
      if (turn == 0 && !is_would_block(error)) {
        // Readable, yet nothing to read: the relay answered with an error (its port is gone).
        get_logger(LOGGER_ENGINE)->debug("UDP 关联读取失败 {}: {}", watched.program.text(), error.what());
        _end_flow(watched.program, watched.id);
      }
      return;
    }
    switch (datagram.status) {
      case SocksUdpStatus::ok: {
        {
          std::lock_guard guard(_lock);
          Flow* flow = _flows.find(watched.program);
          if (!flow || flow->id != watched.id) return;
          _flows.touch(watched.program);
          flow->bytes_down += datagram.payload.size();
        }
        if (_callbacks.deliver) _callbacks.deliver(watched.program, datagram.source, datagram.payload);
        break;
      }
      case SocksUdpStatus::fragment:
      case SocksUdpStatus::named_source:
        break;  // dropped, the flow goes on
      case SocksUdpStatus::malformed:
        get_logger(LOGGER_ENGINE)->debug("代理的 UDP 应答格式错误，关联关闭: {}", watched.program.text());
        _end_flow(watched.program, watched.id);
        return;
    }
  }
}

}  // namespace tovix
