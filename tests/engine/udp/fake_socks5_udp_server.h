#pragma once
// A scripted SOCKS5 proxy for UDP ASSOCIATE: answers every association with the given reply
// code and the relay address 0.0.0.0 (so the client must use the proxy's own address), and lets
// the test read what reaches the relay and send what it likes back.
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "common/socket.h"

namespace tovix::testing {

class FakeSocks5UdpServer {
 public:
  explicit FakeSocks5UdpServer(std::uint8_t reply_code = 0);
  ~FakeSocks5UdpServer();
  FakeSocks5UdpServer(const FakeSocks5UdpServer&) = delete;
  FakeSocks5UdpServer& operator=(const FakeSocks5UdpServer&) = delete;

  int port() const { return _port; }
  // The next datagram the relay got and its sender; nothing after `timeout`.
  std::optional<std::pair<SocketAddress, std::vector<std::uint8_t>>> next_datagram(std::chrono::milliseconds timeout);
  void send_to(const SocketAddress& client, const std::vector<std::uint8_t>& framed);
  // Ends every association by closing its control connection.
  void close_associations();
  std::size_t associations_granted() const { return _granted; }
  // Waits until clients have closed this many control connections.
  bool wait_for_closed_by_client(std::size_t count, std::chrono::milliseconds timeout);

 private:
  void _serve();
  void _handshake(const std::shared_ptr<Socket>& client);

  std::uint8_t _reply_code;
  std::shared_ptr<Socket> _listener;
  std::shared_ptr<Socket> _relay;
  int _port = 0;
  std::mutex _lock;
  std::vector<std::shared_ptr<Socket>> _controls;
  std::atomic<bool> _close_requested{false};
  std::atomic<std::size_t> _granted{0};
  std::atomic<std::size_t> _closed_by_client{0};
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

}  // namespace tovix::testing
