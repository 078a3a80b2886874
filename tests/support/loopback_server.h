#pragma once
// A TCP server on 127.0.0.1 (or another address of this host) with an OS-chosen port (or the
// one given, for a well-known port in a network namespace of the test's own) that runs
// `handler` on its own thread for each accepted connection. The destructor wakes and joins
// every thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/socket.h"

namespace tovix::testing {

class LoopbackServer {
 public:
  using Handler = std::function<void(Socket& connection)>;
  explicit LoopbackServer(Handler handler, const std::string& bind_ip = "127.0.0.1", int port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return _port; }
  int accepted() const { return _accepted.load(); }

 private:
  void _accept_loop();

  Handler _handler;
  std::shared_ptr<Socket> _listener;
  int _port = 0;
  std::atomic<bool> _running{true};
  std::atomic<int> _accepted{0};
  std::mutex _lock;
  std::vector<std::shared_ptr<Socket>> _connections;
  std::vector<std::thread> _threads;
  std::thread _accept_thread;
};

// Handlers for destinations: send `greeting` first (when not empty), then echo until closed.
LoopbackServer::Handler greet_then_echo(std::string greeting = {});
// A peer that closes every connection at once.
LoopbackServer::Handler close_at_once();
// A peer that reads whatever arrives and never answers, until the client goes away.
LoopbackServer::Handler never_answer();
// An HTTP server in one line: reads the request head, sends `answer` (status line, headers and
// body as given) and closes.
LoopbackServer::Handler answer_after_request_head(std::string answer);

// Helpers for scripted peers.
std::string receive_some(Socket& socket, std::size_t at_most = 65536);
// Reads until `size` bytes or end-of-stream; returns what arrived.
std::string receive_up_to(Socket& socket, std::size_t size);
// True when the peer closes (or resets) within `timeout` without sending anything more.
bool sees_end_of_stream(Socket& socket, std::chrono::milliseconds timeout);

// Polls `condition` until it holds or `timeout` passes; returns its last value. For states
// that give no other signal (another thread's progress), with a generous time-out.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A reproducible pseudo-random byte stream: what one side sends, the other checks.
void send_pattern(Socket& socket, std::uint64_t seed, std::uint64_t size);
// Receives exactly `size` bytes and returns their digest; throws when the stream ends early.
std::uint64_t receive_digest(Socket& socket, std::uint64_t size);
std::uint64_t pattern_digest(std::uint64_t seed, std::uint64_t size);

}  // namespace tovix::testing
