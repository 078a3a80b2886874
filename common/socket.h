#pragma once
// IPv4 stream sockets on POSIX and Winsock behind one small class; also datagram sockets,
// for which connect() fixes the peer, send_all() sends one datagram and receive() takes one.
//
// Ownership rule: a socket has one owner thread, the one that receives, sends and finally
// closes it. Any other thread that wants the owner to stop calls shutdown(), which wakes
// blocked waits, receives and sends without freeing the descriptor, so the number cannot be
// reused while the owner still uses it. close() itself is idempotent and safe from any thread.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/common_export.h"

namespace tovix {

// A SOCKET on Windows (pointer sized), a descriptor elsewhere.
using NativeSocket = std::uintptr_t;
inline constexpr NativeSocket INVALID_NATIVE_SOCKET = ~NativeSocket{0};

// (dotted IPv4 text, port)
using SocketAddress = std::pair<std::string, int>;

// The mark of the engine's own outgoing connections (the relays' connections to their upstream
// proxies): the Linux diversion lets packets of marked sockets pass before anything is queued,
// whatever address the proxy's name gave. A bit no routing rule of ours uses.
inline constexpr std::uint32_t OWN_CONNECTION_MARK = 0x200;

class COMMON_EXPORT SocketError : public std::runtime_error {
 public:
  SocketError(const std::string& what, int code = 0) : std::runtime_error(what), _code(code) {}
  // errno or WSAGetLastError() of the failed call; 0 when not from the OS.
  int code() const { return _code; }

 private:
  int _code;
};

// The call failed only because a non-blocking socket had nothing to give or no room to take.
COMMON_EXPORT bool is_would_block(const SocketError& error);

class COMMON_EXPORT SocketTimeout : public SocketError {
 public:
  using SocketError::SocketError;
};

class COMMON_EXPORT Socket {
 public:
  // A new IPv4 stream socket that child processes do not inherit.
  static std::shared_ptr<Socket> create_tcp();
  // A new IPv4 datagram socket, likewise not inherited.
  static std::shared_ptr<Socket> create_udp();

  // Takes ownership of an open handle.
  explicit Socket(NativeSocket handle);
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // INVALID_NATIVE_SOCKET once closed.
  NativeSocket native_handle() const { return _handle.load(std::memory_order_acquire); }
  bool is_closed() const { return native_handle() == INVALID_NATIVE_SOCKET; }
  bool is_shut_down() const { return _shut_down.load(std::memory_order_acquire); }

  // Idempotent, never throws.
  void close() noexcept;
  // Both directions; wakes the owner's blocked calls. Never throws; harmless after close.
  void shutdown() noexcept;
  // shutdown(), and the owner's close then resets the connection: the peer's socket is torn
  // down instead of staying open for it to send on. Never throws; harmless after close.
  void abort() noexcept;
  // For the owner: closes at once with a reset, no orderly end first. Never throws.
  void reset() noexcept;
  // The sending direction only: the peer reads end-of-stream while this side can still
  // receive (a half close). Does not count as shutdown(). Never throws.
  void shutdown_send() noexcept;
  // Waits, at most `timeout`, until everything sent has been acknowledged by the peer, so that
  // what routes the connection's segments may be torn down after close. Returns at once where
  // the system cannot tell (Windows), after shutdown() or close. Never throws.
  void wait_until_sent(std::chrono::milliseconds timeout) noexcept;
  // Bytes handed to the system but not yet acknowledged by the peer; 0 where the system cannot
  // tell (Windows) and once closed. Never throws.
  std::size_t unsent_bytes() const noexcept;

  // For listeners: re-binding a port whose old connections linger succeeds; on Windows the
  // port is also kept from other sockets (SO_EXCLUSIVEADDRUSE).
  void set_reuse_address();
  // Asks the system only when the mode changes.
  void set_non_blocking(bool on);
  void set_no_delay(bool on);
  // SO_MARK on Linux (needs CAP_NET_ADMIN, as the engine has); nothing where sockets carry no
  // marks (Windows).
  void set_mark(std::uint32_t mark);
  // Fixes the send and receive buffers at `bytes` each (the system's automatic sizing ends).
  void set_buffer_sizes(int bytes);
  void bind(const std::string& ip, int port);
  void listen(int backlog);
  SocketAddress local_address() const;
  SocketAddress peer_address() const;

  // The accepted connection, blocking whatever this socket's mode, or null when a non-blocking
  // listener has nothing pending.
  std::shared_ptr<Socket> accept(SocketAddress& peer);
  // The same for event loops: the accepted connection is non-blocking.
  std::shared_ptr<Socket> accept_non_blocking(SocketAddress& peer);
  // Connects to an IPv4 address; throws SocketTimeout when the time-out passes first, and
  // SocketError when shutdown() came before or during the wait.
  void connect(const std::string& ip, int port, std::chrono::milliseconds timeout);
  // For event loops: starts connecting a non-blocking socket to an IPv4 address without waiting.
  // True when the connection stands at once; false while it is under way, in which case the
  // socket turns writable when it is decided and connect_outcome() tells how.
  bool start_connect(const std::string& ip, int port);
  // Throws SocketError when the connection that start_connect() began has failed.
  void connect_outcome(const std::string& ip, int port);

  // 0 means the peer closed its side in order, or shutdown() was called.
  std::size_t receive(void* buffer, std::size_t size);
  // Like receive, but the bytes stay queued.
  std::size_t peek(void* buffer, std::size_t size);
  // Blocks until every byte is handed to the system.
  void send_all(const void* data, std::size_t size);
  // Datagram sockets that are not connected: one datagram with its sender, one to `to`.
  std::size_t receive_from(void* buffer, std::size_t size, SocketAddress& from);
  void send_to(const void* data, std::size_t size, const SocketAddress& to);

  // For event loops, on a non-blocking socket: the bytes received (0 at end-of-stream or after
  // shutdown()), or nothing when no byte is waiting.
  std::optional<std::size_t> receive_available(void* buffer, std::size_t size);
  // For event loops, on a non-blocking socket: how many bytes the system took, 0 when its send
  // buffer is full.
  std::size_t send_available(const void* data, std::size_t size);
  // Like receive_available, but the bytes stay queued.
  std::optional<std::size_t> peek_available(void* buffer, std::size_t size);

 private:
  NativeSocket _checked_handle() const;
  std::size_t _receive(void* buffer, std::size_t size, int flags);
  std::optional<std::size_t> _receive_available(void* buffer, std::size_t size, int flags);
  std::shared_ptr<Socket> _accept(SocketAddress& peer, bool non_blocking);

  std::atomic<NativeSocket> _handle;
  std::atomic<bool> _shut_down{false};
  std::atomic<int> _non_blocking{-1};  // -1: whatever the system made it
  std::mutex _close_lock;  // orders shutdown() against close()
};

struct Readiness {
  bool readable = false;
  bool exceptional = false;
};

// Waits until one of `sockets` is readable (data, end-of-stream or error) or reports an
// exceptional condition, at most `timeout`. One entry per socket, in the same order; all false
// on a time-out. Throws SocketError when a socket is closed or the wait fails.
COMMON_EXPORT std::vector<Readiness> wait_readable(const std::vector<Socket*>& sockets,
                                                   std::chrono::milliseconds timeout);

// The IPv4 addresses of a host name or dotted address; throws SocketError when there are none.
COMMON_EXPORT std::vector<std::string> resolve_ipv4(const std::string& host);

// True when `text` is a dotted IPv4 address; its four bytes in network order go to `bytes`.
COMMON_EXPORT bool parse_ipv4(const std::string& text, unsigned char (&bytes)[4]);

// A connected socket to host (name or address) and port, trying each IPv4 address in turn
// within one overall time-out; a non-zero `mark` is set on each socket before it connects, and
// `before_connect` (when set) is shown each socket first, so another thread can shut it down to
// end the wait.
COMMON_EXPORT std::shared_ptr<Socket> connect_tcp(
    const std::string& host, int port, std::chrono::milliseconds timeout, std::uint32_t mark = 0,
    const std::function<void(const std::shared_ptr<Socket>&)>& before_connect = {});

// Receives exactly `size` bytes before `deadline`; throws SocketTimeout, or SocketError when
// the peer closes first.
COMMON_EXPORT void receive_exact(Socket& socket, void* buffer, std::size_t size,
                                 std::chrono::steady_clock::time_point deadline);

// Waits for `socket` to become readable before `deadline`; throws SocketTimeout otherwise.
COMMON_EXPORT void wait_readable_until(Socket& socket, std::chrono::steady_clock::time_point deadline);

}  // namespace tovix
