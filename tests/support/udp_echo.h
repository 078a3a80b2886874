#pragma once
// A UDP echo server on a loopback address and a free port: answers every datagram with the same
// bytes and remembers where each came from.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/socket.h"

namespace tovix::testing {

class UdpEchoServer {
 public:
  explicit UdpEchoServer(const std::string& address = "127.0.0.1");
  ~UdpEchoServer();
  UdpEchoServer(const UdpEchoServer&) = delete;
  UdpEchoServer& operator=(const UdpEchoServer&) = delete;

  SocketAddress address() const { return _address; }
  std::vector<SocketAddress> senders() const;

 private:
  std::shared_ptr<Socket> _socket;
  SocketAddress _address;
  mutable std::mutex _lock;
  std::vector<SocketAddress> _senders;
  std::atomic<bool> _stop{false};
  std::thread _thread;
};

}  // namespace tovix::testing
