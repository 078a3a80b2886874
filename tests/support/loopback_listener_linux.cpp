#include "tests/support/loopback_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace tovix::testing {

LoopbackListener::LoopbackListener(Mode mode) : _mode(mode) {
  _listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (_listen_fd < 0 || ::bind(_listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(_listen_fd, 16) != 0 || ::getsockname(_listen_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(_wake_pipe, O_CLOEXEC) != 0) {
    if (_listen_fd >= 0) ::close(_listen_fd);
    throw std::runtime_error("loopback listener: cannot listen");
  }
  _port = ntohs(address.sin_port);
  _thread = std::thread([this] { _run(); });
}

LoopbackListener::~LoopbackListener() {
  const char wake = 1;
  [[maybe_unused]] const auto written = ::write(_wake_pipe[1], &wake, 1);
  _thread.join();
  for (const int fd : _held) ::close(fd);
  ::close(_listen_fd);
  ::close(_wake_pipe[0]);
  ::close(_wake_pipe[1]);
}

void LoopbackListener::_run() {
  for (;;) {
    pollfd waits[2] = {{_listen_fd, POLLIN, 0}, {_wake_pipe[0], POLLIN, 0}};
    if (::poll(waits, 2, -1) < 0) continue;
    if (waits[1].revents != 0) return;
    const int client = ::accept4(_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    ++_accepted;
    if (_mode == Mode::close_at_once) {
      ::close(client);
    } else {
      _held.push_back(client);
    }
  }
}

}  // namespace tovix::testing
