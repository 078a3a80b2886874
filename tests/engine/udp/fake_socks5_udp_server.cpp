#include "tests/engine/udp/fake_socks5_udp_server.h"

namespace tovix::testing {

using namespace std::chrono_literals;

FakeSocks5UdpServer::FakeSocks5UdpServer(std::uint8_t reply_code)
    : _reply_code(reply_code), _listener(Socket::create_tcp()), _relay(Socket::create_udp()) {
  _listener->bind("127.0.0.1", 0);
  _listener->listen(16);
  _port = _listener->local_address().second;
  _relay->bind("127.0.0.1", 0);
  _thread = std::thread([this] { _serve(); });
}

FakeSocks5UdpServer::~FakeSocks5UdpServer() {
  _stop = true;
  _thread.join();
}

void FakeSocks5UdpServer::_serve() {
  while (!_stop) {
    std::vector<std::shared_ptr<Socket>> controls;
    {
      std::lock_guard guard(_lock);
      if (_close_requested.exchange(false)) {
        for (auto& control : _controls) control->close();
        _controls.clear();
      }
      controls = _controls;
    }
    std::vector<Socket*> sockets{_listener.get()};
    for (auto& control : controls) sockets.push_back(control.get());
    // Short waits, so that a stop or a close request is seen: the test's sockets give no
    // other wake-up.
    const auto ready = wait_readable(sockets, 20ms);
    if (ready[0].readable) {
      SocketAddress peer;
      if (auto client = _listener->accept(peer)) _handshake(client);
    }
    for (std::size_t i = 0; i < controls.size(); ++i) {
      if (!ready[i + 1].readable) continue;
      std::uint8_t byte;
      std::size_t got = 0;
      try {
        got = controls[i]->receive(&byte, 1);
      } catch (const SocketError&) {
      }
      if (got != 0) continue;
      ++_closed_by_client;
      std::lock_guard guard(_lock);
      std::erase(_controls, controls[i]);
    }
  }
}

void FakeSocks5UdpServer::_handshake(const std::shared_ptr<Socket>& client) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  try {
    std::uint8_t head[2];
    receive_exact(*client, head, 2, deadline);
    std::uint8_t methods[255];
    receive_exact(*client, methods, head[1], deadline);
    const std::uint8_t no_auth[] = {5, 0};
    client->send_all(no_auth, sizeof no_auth);
    std::uint8_t request[10];  // UDP ASSOCIATE with an IPv4 address
    receive_exact(*client, request, sizeof request, deadline);
    const int relay_port = _relay->local_address().second;
    const std::uint8_t reply[] = {5,
                                  _reply_code,
                                  0,
                                  1,
                                  0,
                                  0,
                                  0,
                                  0,
                                  static_cast<std::uint8_t>(relay_port >> 8),
                                  static_cast<std::uint8_t>(relay_port)};
    // Counted before the reply, so a test that has seen the association's first datagram sees it.
    if (_reply_code == 0) {
      ++_granted;
      std::lock_guard guard(_lock);
      _controls.push_back(client);
    }
    client->send_all(reply, sizeof reply);
  } catch (const SocketError&) {
  }
}

std::optional<std::pair<SocketAddress, std::vector<std::uint8_t>>> FakeSocks5UdpServer::next_datagram(
    std::chrono::milliseconds timeout) {
  if (!wait_readable({_relay.get()}, timeout)[0].readable) return std::nullopt;
  std::vector<std::uint8_t> buffer(65536);
  SocketAddress from;
  buffer.resize(_relay->receive_from(buffer.data(), buffer.size(), from));
  return std::pair{from, buffer};
}

void FakeSocks5UdpServer::send_to(const SocketAddress& client, const std::vector<std::uint8_t>& framed) {
  _relay->send_to(framed.data(), framed.size(), client);
}

void FakeSocks5UdpServer::close_associations() { _close_requested = true; }

bool FakeSocks5UdpServer::wait_for_closed_by_client(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (_closed_by_client < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(10ms);  // the serving thread counts; polling its counter
  }
  return true;
}

}  // namespace tovix::testing
