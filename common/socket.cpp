#ifdef _WIN32
#ifndef FD_SETSIZE
#define FD_SETSIZE 1024
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstring>
#include <exception>
#include <system_error>

#include "common/socket.h"

namespace tovix {
namespace {

#ifdef _WIN32
using OsSocket = SOCKET;
constexpr int SEND_FLAGS = 0;
int last_error() { return WSAGetLastError(); }
bool would_block(int error) { return error == WSAEWOULDBLOCK; }
bool interrupted(int) { return false; }
int close_os_socket(OsSocket s) { return closesocket(s); }

// Winsock is started once per process and never cleaned up: sockets may be closed by
// background threads until the very end.
void ensure_started() {
  static const int started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (started != 0) throw SocketError("WSAStartup failed: " + std::system_category().message(started), started);
}
#else
using OsSocket = int;
constexpr int SEND_FLAGS = MSG_NOSIGNAL;
int last_error() { return errno; }
bool would_block(int error) { return error == EWOULDBLOCK || error == EAGAIN || error == EINPROGRESS; }
bool interrupted(int error) { return error == EINTR; }
int close_os_socket(OsSocket s) { return ::close(s); }
void ensure_started() {}
#endif

OsSocket os(NativeSocket handle) { return static_cast<OsSocket>(handle); }
NativeSocket native(OsSocket s) {
#ifdef _WIN32
  return s == INVALID_SOCKET ? INVALID_NATIVE_SOCKET : static_cast<NativeSocket>(s);
#else
  return s < 0 ? INVALID_NATIVE_SOCKET : static_cast<NativeSocket>(s);
#endif
}

[[noreturn]] void fail(const std::string& what, int error) {
  throw SocketError(what + ": " + std::system_category().message(error), error);
}

sockaddr_in make_address(const std::string& ip, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (port < 0 || port > 65535) throw SocketError("port out of range: " + std::to_string(port));
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, ip.c_str(), &address.sin_addr) != 1) throw SocketError("not an IPv4 address: " + ip);
  return address;
}

SocketAddress split_address(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return {text, ntohs(address.sin_port)};
}

// getsockname or getpeername.
template <typename Query>
SocketAddress query_address(OsSocket s, Query query, const char* name) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (query(s, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail(std::string(name) + " failed", last_error());
  return split_address(address);
}

int clamp_length(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, 1u << 30)); }

#ifdef _WIN32
timeval to_timeval(std::chrono::milliseconds timeout) {
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, 1 << 30);
  return timeval{static_cast<long>(ms / 1000), static_cast<long>(ms % 1000 * 1000)};
}
#else
int millis(std::chrono::milliseconds timeout) {
  return static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, 1 << 30));
}
#endif

std::chrono::milliseconds remaining(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return std::max(left, std::chrono::milliseconds{0});
}

// Waits for a connecting socket to become writable (connected) or to fail.
bool wait_connected(OsSocket s, std::chrono::milliseconds timeout) {
#ifdef _WIN32
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(s, &writable);
  FD_SET(s, &failed);
  timeval tv = to_timeval(timeout);
  int n = select(0, nullptr, &writable, &failed, &tv);
  if (n == SOCKET_ERROR) fail("connect wait failed", last_error());
  return n > 0;
#else
  pollfd entry{s, POLLOUT, 0};
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int n = ::poll(&entry, 1, millis(remaining(deadline)));
    if (n >= 0) return n > 0;
    if (!interrupted(last_error())) fail("connect wait failed", last_error());
  }
#endif
}

}  // namespace

namespace {

OsSocket new_os_socket(int type, int protocol) {
  ensure_started();
#ifdef _WIN32
  OsSocket s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
#else
  OsSocket s = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
#endif
  if (native(s) == INVALID_NATIVE_SOCKET) fail("cannot create a socket", last_error());
  return s;
}

}  // namespace

bool is_would_block(const SocketError& error) { return error.code() != 0 && would_block(error.code()); }

std::shared_ptr<Socket> Socket::create_tcp() {
  return std::make_shared<Socket>(native(new_os_socket(SOCK_STREAM, IPPROTO_TCP)));
}

std::shared_ptr<Socket> Socket::create_udp() {
  return std::make_shared<Socket>(native(new_os_socket(SOCK_DGRAM, IPPROTO_UDP)));
}

Socket::Socket(NativeSocket handle) : _handle(handle) {}

Socket::~Socket() { close(); }

void Socket::close() noexcept {
  std::lock_guard guard(_close_lock);
  NativeSocket handle = _handle.exchange(INVALID_NATIVE_SOCKET, std::memory_order_acq_rel);
  if (handle != INVALID_NATIVE_SOCKET) close_os_socket(os(handle));
}

void Socket::shutdown() noexcept {
  std::lock_guard guard(_close_lock);
  _shut_down.store(true, std::memory_order_release);
  NativeSocket handle = _handle.load(std::memory_order_acquire);
#ifdef _WIN32
  if (handle != INVALID_NATIVE_SOCKET) ::shutdown(os(handle), SD_BOTH);
#else
  if (handle != INVALID_NATIVE_SOCKET) ::shutdown(os(handle), SHUT_RDWR);
#endif
}

namespace {

// Lingering zero seconds makes the close a reset.
void linger_zero(NativeSocket handle) {
  if (handle == INVALID_NATIVE_SOCKET) return;
  linger value{};
  value.l_onoff = 1;
  value.l_linger = 0;
  (void)setsockopt(os(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace

void Socket::abort() noexcept {
  {
    std::lock_guard guard(_close_lock);
    linger_zero(_handle.load(std::memory_order_acquire));
  }
  shutdown();
}

void Socket::reset() noexcept {
  {
    std::lock_guard guard(_close_lock);
    linger_zero(_handle.load(std::memory_order_acquire));
  }
  close();
}

void Socket::shutdown_send() noexcept {
  std::lock_guard guard(_close_lock);
  NativeSocket handle = _handle.load(std::memory_order_acquire);
#ifdef _WIN32
  if (handle != INVALID_NATIVE_SOCKET) ::shutdown(os(handle), SD_SEND);
#else
  if (handle != INVALID_NATIVE_SOCKET) ::shutdown(os(handle), SHUT_WR);
#endif
}

void Socket::wait_until_sent(std::chrono::milliseconds timeout) noexcept {
#ifndef _WIN32
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!is_shut_down() && std::chrono::steady_clock::now() < deadline && unsent_bytes() > 0) {
    // The kernel signals no event for an emptied send queue; poll it.
    poll(nullptr, 0, 10);
  }
#else
  (void)timeout;
#endif
}

std::size_t Socket::unsent_bytes() const noexcept {
#ifndef _WIN32
  const NativeSocket handle = native_handle();
  int unsent = 0;
  if (handle == INVALID_NATIVE_SOCKET || ioctl(os(handle), SIOCOUTQ, &unsent) != 0 || unsent < 0) return 0;
  return static_cast<std::size_t>(unsent);
#else
  return 0;
#endif
}

NativeSocket Socket::_checked_handle() const {
  NativeSocket handle = native_handle();
  if (handle == INVALID_NATIVE_SOCKET) throw SocketError("socket is closed");
  return handle;
}

void Socket::set_reuse_address() {
  int one = 1;
#ifdef _WIN32
  // Winsock's SO_REUSEADDR would let any other socket bind the same port and take over its
  // connections; the exclusive option is the safe listener setting there.
  const int option = SO_EXCLUSIVEADDRUSE;
#else
  const int option = SO_REUSEADDR;
#endif
  if (setsockopt(os(_checked_handle()), SOL_SOCKET, option, reinterpret_cast<const char*>(&one), sizeof one) != 0) {
    fail("setsockopt SO_REUSEADDR failed", last_error());
  }
}

void Socket::set_no_delay(bool on) {
  int value = on ? 1 : 0;
  if (setsockopt(os(_checked_handle()), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
                 sizeof value) != 0) {
    fail("setsockopt TCP_NODELAY failed", last_error());
  }
}

void Socket::set_mark(std::uint32_t mark) {
#ifdef _WIN32
  (void)mark;
#else
  if (setsockopt(os(_checked_handle()), SOL_SOCKET, SO_MARK, &mark, sizeof mark) != 0) {
    fail("setsockopt SO_MARK failed", last_error());
  }
#endif
}

void Socket::set_buffer_sizes(int bytes) {
  const NativeSocket handle = _checked_handle();
  for (int option : {SO_SNDBUF, SO_RCVBUF}) {
    if (setsockopt(os(handle), SOL_SOCKET, option, reinterpret_cast<const char*>(&bytes), sizeof bytes) != 0) {
      fail("setsockopt SO_SNDBUF/SO_RCVBUF failed", last_error());
    }
  }
}

void Socket::set_non_blocking(bool on) {
  if (_non_blocking.load(std::memory_order_relaxed) == static_cast<int>(on)) return;
  OsSocket s = os(_checked_handle());
#ifdef _WIN32
  u_long mode = on ? 1 : 0;
  if (ioctlsocket(s, FIONBIO, &mode) != 0) fail("cannot change blocking mode", last_error());
#else
  int flags = fcntl(s, F_GETFL, 0);
  if (flags < 0 || fcntl(s, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) < 0) {
    fail("cannot change blocking mode", last_error());
  }
#endif
  _non_blocking.store(static_cast<int>(on), std::memory_order_relaxed);
}

void Socket::bind(const std::string& ip, int port) {
  sockaddr_in address = make_address(ip, port);
  if (::bind(os(_checked_handle()), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail("cannot bind " + ip + ":" + std::to_string(port), last_error());
  }
}

void Socket::listen(int backlog) {
  if (::listen(os(_checked_handle()), backlog) != 0) fail("listen failed", last_error());
}

SocketAddress Socket::local_address() const { return query_address(os(_checked_handle()), getsockname, "getsockname"); }

SocketAddress Socket::peer_address() const { return query_address(os(_checked_handle()), getpeername, "getpeername"); }

std::shared_ptr<Socket> Socket::accept(SocketAddress& peer) { return _accept(peer, false); }

std::shared_ptr<Socket> Socket::accept_non_blocking(SocketAddress& peer) { return _accept(peer, true); }

std::shared_ptr<Socket> Socket::_accept(SocketAddress& peer, bool non_blocking) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  for (;;) {
#ifdef _WIN32
    OsSocket s = ::accept(os(_checked_handle()), reinterpret_cast<sockaddr*>(&address), &length);
#else
    OsSocket s = ::accept4(os(_checked_handle()), reinterpret_cast<sockaddr*>(&address), &length,
                           SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0));
#endif
    if (native(s) == INVALID_NATIVE_SOCKET) {
      int error = last_error();
      if (interrupted(error)) continue;
      if (would_block(error)) return nullptr;
      fail("accept failed", error);
    }
    auto accepted = std::make_shared<Socket>(native(s));
#ifdef _WIN32
    // Winsock hands the listener's mode down to accepted sockets.
    accepted->set_non_blocking(non_blocking);
#else
    accepted->_non_blocking.store(static_cast<int>(non_blocking), std::memory_order_relaxed);
#endif
    peer = split_address(address);
    return accepted;
  }
}

void Socket::connect(const std::string& ip, int port, std::chrono::milliseconds timeout) {
  sockaddr_in address = make_address(ip, port);
  OsSocket s = os(_checked_handle());
  set_non_blocking(true);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = last_error();
    if (!would_block(error)) fail("cannot connect to " + ip + ":" + std::to_string(port), error);
    // A shutdown() before the connection began cannot wake the wait below; one after it can.
    if (is_shut_down()) throw SocketError("connecting to " + ip + ":" + std::to_string(port) + " was cancelled");
    if (!wait_connected(s, timeout)) {
      throw SocketTimeout("connecting to " + ip + ":" + std::to_string(port) + " timed out");
    }
    int status = 0;
    socklen_t length = sizeof status;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) != 0) status = last_error();
    if (status != 0) fail("cannot connect to " + ip + ":" + std::to_string(port), status);
  }
  set_non_blocking(false);
}

bool Socket::start_connect(const std::string& ip, int port) {
  sockaddr_in address = make_address(ip, port);
  if (::connect(os(_checked_handle()), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
  const int error = last_error();
  if (!would_block(error)) fail("cannot connect to " + ip + ":" + std::to_string(port), error);
  return false;
}

void Socket::connect_outcome(const std::string& ip, int port) {
  int status = 0;
  socklen_t length = sizeof status;
  if (getsockopt(os(_checked_handle()), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&status), &length) != 0) {
    status = last_error();
  }
  if (status != 0) fail("cannot connect to " + ip + ":" + std::to_string(port), status);
}

std::size_t Socket::_receive(void* buffer, std::size_t size, int flags) {
  for (;;) {
    auto n = ::recv(os(_checked_handle()), static_cast<char*>(buffer), clamp_length(size), flags);
    if (n >= 0) return static_cast<std::size_t>(n);
    // Winsock fails a receive after a local shutdown where POSIX reports end-of-stream; the
    // owner should see the same on both.
    if (is_shut_down()) return 0;
    if (!interrupted(last_error())) fail("receive failed", last_error());
  }
}

std::size_t Socket::receive(void* buffer, std::size_t size) { return _receive(buffer, size, 0); }

std::size_t Socket::peek(void* buffer, std::size_t size) { return _receive(buffer, size, MSG_PEEK); }

void Socket::send_all(const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    auto n = ::send(os(_checked_handle()), next, clamp_length(size), SEND_FLAGS);
    if (n < 0) {
      if (interrupted(last_error())) continue;
      fail("send failed", last_error());
    }
    next += n;
    size -= static_cast<std::size_t>(n);
  }
}

std::size_t Socket::receive_from(void* buffer, std::size_t size, SocketAddress& from) {
  for (;;) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    auto n = ::recvfrom(os(_checked_handle()), static_cast<char*>(buffer), clamp_length(size), 0,
                        reinterpret_cast<sockaddr*>(&address), &length);
    if (n >= 0) {
      from = split_address(address);
      return static_cast<std::size_t>(n);
    }
    if (is_shut_down()) return 0;
    if (!interrupted(last_error())) fail("receive failed", last_error());
  }
}

void Socket::send_to(const void* data, std::size_t size, const SocketAddress& to) {
  const sockaddr_in address = make_address(to.first, to.second);
  for (;;) {
    auto n = ::sendto(os(_checked_handle()), static_cast<const char*>(data), clamp_length(size), SEND_FLAGS,
                      reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (n >= 0) return;
    if (!interrupted(last_error())) fail("send failed", last_error());
  }
}

std::optional<std::size_t> Socket::_receive_available(void* buffer, std::size_t size, int flags) {
  for (;;) {
    auto n = ::recv(os(_checked_handle()), static_cast<char*>(buffer), clamp_length(size), flags);
    if (n >= 0) return static_cast<std::size_t>(n);
    const int error = last_error();
    if (is_shut_down()) return 0;
    if (would_block(error)) return std::nullopt;
    if (!interrupted(error)) fail("receive failed", error);
  }
}

std::optional<std::size_t> Socket::receive_available(void* buffer, std::size_t size) {
  return _receive_available(buffer, size, 0);
}

std::optional<std::size_t> Socket::peek_available(void* buffer, std::size_t size) {
  return _receive_available(buffer, size, MSG_PEEK);
}

std::size_t Socket::send_available(const void* data, std::size_t size) {
  for (;;) {
    auto n = ::send(os(_checked_handle()), static_cast<const char*>(data), clamp_length(size), SEND_FLAGS);
    if (n >= 0) return static_cast<std::size_t>(n);
    const int error = last_error();
    if (would_block(error)) return 0;
    if (!interrupted(error)) fail("send failed", error);
  }
}

std::vector<Readiness> wait_readable(const std::vector<Socket*>& sockets, std::chrono::milliseconds timeout) {
  std::vector<Readiness> result(sockets.size());
#ifdef _WIN32
  if (sockets.size() > FD_SETSIZE) throw SocketError("too many sockets for one wait");
  fd_set readable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&failed);
  for (Socket* socket : sockets) {
    OsSocket s = os(socket->native_handle());
    if (socket->is_closed()) throw SocketError("socket is closed");
    FD_SET(s, &readable);
    FD_SET(s, &failed);
  }
  timeval tv = to_timeval(timeout);
  if (select(0, &readable, nullptr, &failed, &tv) == SOCKET_ERROR) fail("wait failed", last_error());
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    OsSocket s = os(sockets[i]->native_handle());
    result[i].readable = FD_ISSET(s, &readable) != 0;
    result[i].exceptional = FD_ISSET(s, &failed) != 0;
  }
#else
  // poll rather than select: descriptors above FD_SETSIZE are normal with many connections.
  std::vector<pollfd> entries;
  entries.reserve(sockets.size());
  for (Socket* socket : sockets) {
    if (socket->is_closed()) throw SocketError("socket is closed");
    entries.push_back({os(socket->native_handle()), POLLIN | POLLPRI, 0});
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int n = ::poll(entries.data(), entries.size(), millis(remaining(deadline)));
    if (n >= 0) break;
    if (!interrupted(last_error())) fail("wait failed", last_error());
  }
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].revents & POLLNVAL) throw SocketError("socket is closed");
    result[i].readable = (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    result[i].exceptional = (entries[i].revents & POLLPRI) != 0;
  }
#endif
  return result;
}

void wait_readable_until(Socket& socket, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = remaining(deadline);
    auto ready = wait_readable({&socket}, left);
    if (ready[0].readable || ready[0].exceptional) return;
    if (left.count() == 0 || std::chrono::steady_clock::now() >= deadline) throw SocketTimeout("timed out");
  }
}

void receive_exact(Socket& socket, void* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) {
  char* next = static_cast<char*>(buffer);
  while (size > 0) {
    wait_readable_until(socket, deadline);
    std::size_t n = socket.receive(next, size);
    if (n == 0) throw SocketError("connection closed by peer");
    next += n;
    size -= n;
  }
}

bool parse_ipv4(const std::string& text, unsigned char (&bytes)[4]) {
  in_addr address{};
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
  std::memcpy(bytes, &address, 4);
  return true;
}

std::vector<std::string> resolve_ipv4(const std::string& host) {
  ensure_started();
  unsigned char bytes[4];
  if (parse_ipv4(host, bytes)) return {host};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0) {
#ifdef _WIN32
    throw SocketError("cannot resolve " + host + ": " + std::system_category().message(status), status);
#else
    throw SocketError("cannot resolve " + host + ": " + gai_strerror(status), status);
#endif
  }
  std::vector<std::string> addresses;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET) continue;
    std::string text = split_address(*reinterpret_cast<const sockaddr_in*>(entry->ai_addr)).first;
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.push_back(text);
  }
  freeaddrinfo(found);
  if (addresses.empty()) throw SocketError("no IPv4 address for " + host);
  return addresses;
}

std::shared_ptr<Socket> connect_tcp(const std::string& host, int port, std::chrono::milliseconds timeout,
                                    std::uint32_t mark,
                                    const std::function<void(const std::shared_ptr<Socket>&)>& before_connect) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::exception_ptr last_failure;
  for (const std::string& ip : resolve_ipv4(host)) {
    auto left = remaining(deadline);
    if (left.count() == 0) break;
    auto socket = Socket::create_tcp();
    try {
      if (mark != 0) {
        try {
          socket->set_mark(mark);
        } catch (const SocketError&) {
          // Without the right to mark, this process cannot divert packets either.
        }
      }
      if (before_connect) before_connect(socket);
      socket->connect(ip, port, left);
      return socket;
    } catch (const SocketError&) {
      last_failure = std::current_exception();
    }
  }
  if (last_failure) std::rethrow_exception(last_failure);
  throw SocketTimeout("connecting to " + host + ":" + std::to_string(port) + " timed out");
}

}  // namespace tovix
