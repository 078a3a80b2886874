#include "tests/support/loopback_server.h"

#include <chrono>
#include <stdexcept>

namespace tovix::testing {
namespace {

constexpr std::size_t CHUNK = 65536;

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Fills `out` with the next bytes of the stream; `state` carries on between calls.
void fill_pattern(std::uint64_t& state, char* out, std::size_t size) {
  for (std::size_t i = 0; i < size; i += 8) {
    std::uint64_t word = splitmix(state);
    for (std::size_t b = 0; b < 8 && i + b < size; ++b) out[i + b] = static_cast<char>(word >> (8 * b));
  }
}

struct Digest {
  std::uint64_t value = 1469598103934665603ull;  // FNV-1a
  void add(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
      value ^= static_cast<unsigned char>(data[i]);
      value *= 1099511628211ull;
    }
  }
};

}  // namespace

LoopbackServer::LoopbackServer(Handler handler, const std::string& bind_ip, int port) : _handler(std::move(handler)) {
  _listener = Socket::create_tcp();
  _listener->bind(bind_ip, port);
  _listener->listen(256);
  _listener->set_non_blocking(true);
  _port = _listener->local_address().second;
  _accept_thread = std::thread([this] { _accept_loop(); });
}

LoopbackServer::~LoopbackServer() {
  _running = false;
  _accept_thread.join();
  {
    std::lock_guard guard(_lock);
    for (auto& connection : _connections) connection->shutdown();
  }
  for (auto& thread : _threads) thread.join();
  _listener->close();
}

void LoopbackServer::_accept_loop() {
  while (_running) {
    try {
      if (!wait_readable({_listener.get()}, std::chrono::milliseconds(50))[0].readable) continue;
      SocketAddress peer;
      auto connection = _listener->accept(peer);
      if (!connection) continue;
      ++_accepted;
      std::lock_guard guard(_lock);
      _connections.push_back(connection);
      _threads.emplace_back([this, connection] {
        try {
          _handler(*connection);
        } catch (...) {
          // A peer that went away early is the test's business, not the server's.
        }
        connection->close();
      });
    } catch (...) {
    }
  }
}

LoopbackServer::Handler greet_then_echo(std::string greeting) {
  return [greeting](Socket& connection) {
    if (!greeting.empty()) connection.send_all(greeting.data(), greeting.size());
    for (std::string data = receive_some(connection); !data.empty(); data = receive_some(connection)) {
      connection.send_all(data.data(), data.size());
    }
  };
}

LoopbackServer::Handler close_at_once() {
  return [](Socket&) {};
}

LoopbackServer::Handler never_answer() {
  return [](Socket& connection) {
    while (!receive_some(connection).empty()) {
    }
  };
}

LoopbackServer::Handler answer_after_request_head(std::string answer) {
  return [answer = std::move(answer)](Socket& connection) {
    std::string request;
    while (request.find("\r\n\r\n") == std::string::npos) {
      const std::string more = receive_some(connection);
      if (more.empty()) return;
      request += more;
    }
    connection.send_all(answer.data(), answer.size());
  };
}

std::string receive_some(Socket& socket, std::size_t at_most) {
  std::string data(at_most, '\0');
  data.resize(socket.receive(data.data(), data.size()));
  return data;
}

std::string receive_up_to(Socket& socket, std::size_t size) {
  std::string data;
  while (data.size() < size) {
    std::string more = receive_some(socket, size - data.size());
    if (more.empty()) break;
    data += more;
  }
  return data;
}

bool sees_end_of_stream(Socket& socket, std::chrono::milliseconds timeout) {
  try {
    if (!wait_readable({&socket}, timeout)[0].readable) return false;
    char byte;
    return socket.receive(&byte, 1) == 0;
  } catch (const SocketError&) {
    return true;  // reset by the peer
  }
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void send_pattern(Socket& socket, std::uint64_t seed, std::uint64_t size) {
  std::unique_ptr<char[]> buffer(new char[CHUNK]);
  std::uint64_t state = seed;
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, CHUNK));
    fill_pattern(state, buffer.get(), n);
    socket.send_all(buffer.get(), n);
    size -= n;
  }
}

std::uint64_t receive_digest(Socket& socket, std::uint64_t size) {
  std::unique_ptr<char[]> buffer(new char[CHUNK]);
  Digest digest;
  while (size > 0) {
    const std::size_t n = socket.receive(buffer.get(), static_cast<std::size_t>(std::min<std::uint64_t>(size, CHUNK)));
    if (n == 0) throw std::runtime_error("stream ended " + std::to_string(size) + " bytes early");
    digest.add(buffer.get(), n);
    size -= n;
  }
  return digest.value;
}

std::uint64_t pattern_digest(std::uint64_t seed, std::uint64_t size) {
  std::unique_ptr<char[]> buffer(new char[CHUNK]);
  std::uint64_t state = seed;
  Digest digest;
  while (size > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, CHUNK));
    fill_pattern(state, buffer.get(), n);
    digest.add(buffer.get(), n);
    size -= n;
  }
  return digest.value;
}

}  // namespace tovix::testing
