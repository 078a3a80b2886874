#include "tests/support/udp_echo.h"

namespace tovix::testing {

UdpEchoServer::UdpEchoServer(const std::string& address) : _socket(Socket::create_udp()) {
  _socket->bind(address, 0);
  _address = _socket->local_address();
  _thread = std::thread([this] {
    std::vector<std::uint8_t> buffer(65536);
    while (!_stop) {
      // A short wait so that the destructor's stop is seen; the socket has no other wake-up.
      if (!wait_readable({_socket.get()}, std::chrono::milliseconds(50))[0].readable) continue;
      SocketAddress from;
      try {
        const std::size_t got = _socket->receive_from(buffer.data(), buffer.size(), from);
        {
          std::lock_guard guard(_lock);
          _senders.push_back(from);
        }
        _socket->send_to(buffer.data(), got, from);
      } catch (const SocketError&) {
        // An ICMP error for an earlier answer: the next datagram is what counts.
      }
    }
  });
}

UdpEchoServer::~UdpEchoServer() {
  _stop = true;
  _thread.join();
  _socket->close();
}

std::vector<SocketAddress> UdpEchoServer::senders() const {
  std::lock_guard guard(_lock);
  return _senders;
}

}  // namespace tovix::testing
