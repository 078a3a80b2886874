// Relay cost against the proxy alone, measured side by side in one run on this machine:
// bulk throughput of one connection, connections per second, and the resident memory each
// idle relayed connection adds. The two paths take turns: bulk rounds alternate and the best
// round of each is compared, since other load on the machine only ever slows a round down;
// connections alternate one by one and the median time of each path is compared.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/socket.h"
#include "engine/relay/event_poller.h"
#include "engine/relay/nat_table.h"
#include "engine/relay/relay_hub.h"
#include "engine/relay/socks5_handler.h"
#include "tests/support/loopback_server.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using Clock = std::chrono::steady_clock;
using testing::LoopbackServer;

constexpr std::uint64_t BULK_BYTES = 128ull << 20;
constexpr int BULK_ROUNDS = 10;
constexpr int CONNECTIONS = 500;
constexpr int IDLE_CONNECTIONS = 1000;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long resident_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// Reads an 8-byte length, then that many bytes, then answers one byte.
void sink(Socket& connection) {
  std::uint64_t size = 0;
  receive_exact(connection, &size, sizeof size, Clock::now() + std::chrono::seconds(30));
  std::unique_ptr<char[]> buffer(new char[1 << 16]);
  while (size > 0) {
    std::size_t n = connection.receive(buffer.get(), static_cast<std::size_t>(std::min<std::uint64_t>(size, 1 << 16)));
    if (n == 0) return;
    size -= n;
  }
  connection.send_all("k", 1);
  testing::receive_up_to(connection, 1);
}

class Paths {
 public:
  Paths()
      : _hub(_nat, nlohmann::ordered_json{{"type", "socks5"},
                                          {"host", "127.0.0.1"},
                                          {"port", _proxy.port()},
                                          {"username", testing::PROXY_USER},
                                          {"password", testing::PROXY_PASSWORD}}) {
    _relay_port = _hub.start().second;
  }

  // client → microsocks → destination
  std::shared_ptr<Socket> proxy_only(int dst_port) {
    return Socks5Handler().handle_connection("127.0.0.1", dst_port, "127.0.0.1", _proxy.port(), testing::PROXY_USER,
                                             testing::PROXY_PASSWORD);
  }

  // client → RelayHub → microsocks → destination, recorded in the NAT table as the engine would.
  std::shared_ptr<Socket> relayed(int dst_port) {
    auto client = Socket::create_tcp();
    client->bind(RelayHub::DIVERTED_SOURCE_IP, 0);
    _nat->set(client->local_address().second, NatEntry{"192.168.1.2", "127.0.0.1", dst_port, nat_clock_now(), 0});
    client->connect("127.0.0.1", _relay_port, std::chrono::seconds(10));
    return client;
  }

  RelayHub& hub() { return _hub; }

 private:
  testing::MicrosocksProxy _proxy;
  std::shared_ptr<NatTable> _nat = std::make_shared<NatTable>();
  RelayHub _hub;
  int _relay_port = 0;
};

using Opener = std::function<std::shared_ptr<Socket>(int dst_port)>;

double bulk_mib_per_second(const Opener& open, int sink_port) {
  auto connection = open(sink_port);
  const auto start = Clock::now();
  std::uint64_t size = BULK_BYTES;
  connection->send_all(&size, sizeof size);
  std::unique_ptr<char[]> chunk(new char[1 << 16]());
  for (std::uint64_t left = BULK_BYTES; left > 0; left -= 1 << 16) connection->send_all(chunk.get(), 1 << 16);
  char ack = 0;
  receive_exact(*connection, &ack, 1, Clock::now() + std::chrono::seconds(120));
  const double elapsed = seconds_since(start);
  connection->close();
  return static_cast<double>(BULK_BYTES) / (1 << 20) / elapsed;
}

// Seconds for one connection: open, one byte there and back, close.
double one_connection(const Opener& open, int echo_port) {
  const auto start = Clock::now();
  auto connection = open(echo_port);
  connection->send_all("x", 1);
  char byte = 0;
  receive_exact(*connection, &byte, 1, Clock::now() + std::chrono::seconds(30));
  connection->close();
  return seconds_since(start);
}

double median(std::vector<double> values) {
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// Echoes on every connection from one thread, with the relay's own readiness poller so that
// each report costs the same however many connections it holds. A destination with a thread per
// connection, or one that polls all its connections every time, would weigh on the relayed path
// more than on the other: the relay holds a client's end back for a second while the destination
// might still answer, so its connections live longer, and more of them are open at once.
class EventEcho {
 public:
  EventEcho() {
    _listener->bind("127.0.0.1", 0);
    _listener->listen(1024);
    _listener->set_non_blocking(true);
    _poller.watch(_listener->native_handle(), LISTENER, 0, EventPoller::READ);
    _thread = std::thread([this] { _run(); });
  }
  ~EventEcho() {
    _running = false;
    _poller.wake();
    _thread.join();
  }
  int port() const { return _listener->local_address().second; }

 private:
  static constexpr std::uint64_t LISTENER = 0;

  void _run() {
    std::unordered_map<std::uint64_t, std::shared_ptr<Socket>> connections;
    std::uint64_t next_token = LISTENER;
    std::vector<EventPoller::Event> events;
    char buffer[4096];
    while (_running) {
      _poller.wait(events, std::chrono::milliseconds(-1));
      for (const EventPoller::Event& event : events) {
        if (event.token == LISTENER) {
          SocketAddress peer;
          while (auto accepted = _listener->accept_non_blocking(peer)) {
            _poller.watch(accepted->native_handle(), ++next_token, 0, EventPoller::READ);
            connections.emplace(next_token, std::move(accepted));
          }
          continue;
        }
        const auto found = connections.find(event.token);
        if (found == connections.end()) continue;
        Socket& connection = *found->second;
        bool done = true;
        try {
          const std::optional<std::size_t> n = connection.receive_available(buffer, sizeof buffer);
          done = n && *n == 0;
          if (n && *n > 0) connection.send_available(buffer, *n);  // one byte: the buffer takes it
        } catch (const SocketError&) {
        }
        if (!done) continue;
        _poller.watch(connection.native_handle(), event.token, EventPoller::READ, 0);
        connections.erase(found);
      }
    }
  }

  std::shared_ptr<Socket> _listener = Socket::create_tcp();
  EventPoller _poller;
  std::atomic<bool> _running{true};
  std::thread _thread;
};

// Accepts and holds connections without a thread each, so the process's memory growth is the
// relay's own.
class HoldingServer {
 public:
  HoldingServer() {
    _listener->bind("127.0.0.1", 0);
    _listener->listen(1024);
    _listener->set_non_blocking(true);
    _thread = std::thread([this] {
      const auto deadline = Clock::now() + std::chrono::seconds(60);
      while (_held.load() < IDLE_CONNECTIONS && Clock::now() < deadline) {
        if (!wait_readable({_listener.get()}, std::chrono::milliseconds(100))[0].readable) continue;
        SocketAddress peer;
        auto connection = _listener->accept(peer);
        if (!connection) continue;
        std::lock_guard guard(_lock);
        _connections.push_back(connection);
        ++_held;
      }
    });
  }
  ~HoldingServer() { _thread.join(); }
  int port() const { return _listener->local_address().second; }
  int held() const { return _held.load(); }

 private:
  std::shared_ptr<Socket> _listener = Socket::create_tcp();
  std::mutex _lock;
  std::vector<std::shared_ptr<Socket>> _connections;
  std::atomic<int> _held{0};
  std::thread _thread;
};

void wait_for_held(const HoldingServer& destination, int count) {
  if (!testing::eventually([&] { return destination.held() >= count; }, std::chrono::seconds(60))) {
    throw std::runtime_error("the relay opened only " + std::to_string(destination.held()) + " connections");
  }
}

void print_ratio(const char* what, double relay, double proxy_only, const char* unit, const char* target) {
  std::printf("%-28s relay %10.1f %s   proxy-only %10.1f %s   ratio %.2f (target %s)\n", what, relay, unit, proxy_only,
              unit, relay / proxy_only, target);
}

int run(bool connections_only) {
  Paths paths;
  const Opener proxy_only = [&](int port) { return paths.proxy_only(port); };
  const Opener relayed = [&](int port) { return paths.relayed(port); };

  if (!connections_only) {
    LoopbackServer sinks(sink);
    double best_proxy = 0, best_relay = 0;
    for (int round = 0; round < BULK_ROUNDS; ++round) {
      const bool relay_first = round % 2 == 1;
      if (relay_first) best_relay = std::max(best_relay, bulk_mib_per_second(relayed, sinks.port()));
      best_proxy = std::max(best_proxy, bulk_mib_per_second(proxy_only, sinks.port()));
      if (!relay_first) best_relay = std::max(best_relay, bulk_mib_per_second(relayed, sinks.port()));
    }
    print_ratio("bulk throughput (128 MiB)", best_relay, best_proxy, "MiB/s", ">= 0.95");
  }
  {
    EventEcho echo;
    std::vector<double> proxy_times, relay_times;
    for (int i = 0; i < CONNECTIONS; ++i) {
      proxy_times.push_back(one_connection(proxy_only, echo.port()));
      relay_times.push_back(one_connection(relayed, echo.port()));
    }
    print_ratio("connections per second", 1 / median(relay_times), 1 / median(proxy_times), "conn/s", ">= 0.70");
  }
  if (!connections_only) {
    paths.hub().wait_until_idle(std::chrono::seconds(30));
    HoldingServer destination;
    std::vector<std::shared_ptr<Socket>> clients;
    clients.push_back(paths.relayed(destination.port()));  // warms up the per-thread allocator
    wait_for_held(destination, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long before = resident_kib();
    for (int i = 1; i < IDLE_CONNECTIONS; ++i) clients.push_back(paths.relayed(destination.port()));
    wait_for_held(destination, IDLE_CONNECTIONS);
    // Let the last connection threads reach their idle wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long after = resident_kib();
    std::printf("%-28s %.1f KiB per idle relayed connection with %d open (target <= 64 KiB)\n", "resident memory",
                static_cast<double>(after - before) / (IDLE_CONNECTIONS - 1), IDLE_CONNECTIONS);
    for (auto& client : clients) client->close();
    paths.hub().stop();
    paths.hub().wait_until_idle(std::chrono::seconds(30));
  }
  return 0;
}

}  // namespace
}  // namespace tovix

// `bench_relay connections` measures connections per second alone.
int main(int argc, char** argv) {
  try {
    return tovix::run(argc == 2 && std::string(argv[1]) == "connections");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_relay failed: %s\n", error.what());
    return 1;
  }
}
