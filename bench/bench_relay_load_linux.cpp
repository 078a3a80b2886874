// Many connections at once through one relay, as a busy desktop makes them: 5,000 relayed
// connections opened and held together, each answering, in a process that started with a soft
// limit of 1,024 open descriptors (a desktop Linux default); and the resident memory each idle
// relayed connection costs the relay's process.
//
// The destination runs in a child process, forked before any thread exists, so that its 5,000
// descriptors do not count against the bench's own process, which already holds the relay's
// 10,000 and the clients' 5,000.
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/descriptor_limit.h"
#include "common/socket.h"
#include "engine/relay/nat_table.h"
#include "engine/relay/relay_hub.h"
#include "tests/support/os_knobs.h"
#include "tests/support/proxy_fixtures.h"

namespace tovix {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int CONNECTIONS = 5000;
constexpr std::uint64_t SOFT_LIMIT_AT_START = 1024;
constexpr auto ANSWER_WAIT = std::chrono::seconds(120);

long status_field(const char* name) {
  std::ifstream status("/proc/self/status");
  const std::string prefix = std::string(name) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) == 0) return std::stol(line.substr(prefix.size()));
  }
  return -1;
}

std::uint64_t soft_limit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  return limit.rlim_cur;
}

// The child: echoes every byte on every connection until killed. Plain system calls only.
[[noreturn]] void echo_forever(int listener) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int poller = epoll_create1(0);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  epoll_ctl(poller, EPOLL_CTL_ADD, listener, &event);
  epoll_event ready[256];
  char buffer[4096];
  for (;;) {
    const int count = epoll_wait(poller, ready, 256, -1);
    for (int i = 0; i < count; ++i) {
      const int fd = ready[i].data.fd;
      if (fd == listener) {
        const int accepted = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (accepted < 0) continue;
        event.data.fd = accepted;
        epoll_ctl(poller, EPOLL_CTL_ADD, accepted, &event);
        continue;
      }
      const ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        close(fd);
        continue;
      }
      (void)!write(fd, buffer, static_cast<std::size_t>(n));
    }
  }
}

struct Destination {
  int port = 0;
  pid_t pid = -1;
  ~Destination() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

void start_destination(Destination& destination) {
  auto listener = Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(4096);
  destination.port = listener->local_address().second;
  destination.pid = fork();
  if (destination.pid < 0) throw std::runtime_error("fork failed");
  if (destination.pid == 0) echo_forever(static_cast<int>(listener->native_handle()));
}

int run() {
  // The child and microsocks get the full limit: each of them holds thousands of descriptors.
  raise_descriptor_limit();
  Destination destination;
  start_destination(destination);
  testing::MicrosocksProxy proxy;

  if (!testing::set_soft_descriptor_limit(SOFT_LIMIT_AT_START)) throw std::runtime_error("cannot lower the limit");
  auto nat = std::make_shared<NatTable>();
  RelayHub hub(nat, nlohmann::ordered_json{{"type", "socks5"},
                                           {"host", "127.0.0.1"},
                                           {"port", proxy.port()},
                                           {"username", testing::PROXY_USER},
                                           {"password", testing::PROXY_PASSWORD}});
  const int relay_port = hub.start().second;
  const std::uint64_t raised = soft_limit();

  auto open_relayed = [&] {
    auto client = Socket::create_tcp();
    client->bind(RelayHub::DIVERTED_SOURCE_IP, 0);
    nat->set(client->local_address().second,
             NatEntry{"192.168.1.2", "127.0.0.1", destination.port, nat_clock_now(), 0});
    client->connect("127.0.0.1", relay_port, std::chrono::seconds(30));
    return client;
  };
  auto answered = [](Socket& client, Clock::time_point deadline) {
    char byte = 0;
    try {
      receive_exact(client, &byte, 1, deadline);
      return byte == 'x';
    } catch (const SocketError&) {
      return false;
    }
  };

  // One connection first, so that what every connection needs once (threads, allocator arenas)
  // is not counted per connection.
  auto first = open_relayed();
  first->send_all("x", 1);
  if (!answered(*first, Clock::now() + ANSWER_WAIT)) throw std::runtime_error("the first connection got no answer");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long before = status_field("VmRSS");

  const auto start = Clock::now();
  std::vector<std::shared_ptr<Socket>> clients;
  int refused = 0;
  for (int i = 1; i < CONNECTIONS; ++i) {
    try {
      clients.push_back(open_relayed());
      clients.back()->send_all("x", 1);
    } catch (const SocketError& error) {
      if (refused++ == 0) std::fprintf(stderr, "first refusal: %s\n", error.what());
    }
  }
  int served = 1;
  const auto deadline = Clock::now() + ANSWER_WAIT;
  for (auto& client : clients) served += answered(*client, deadline) ? 1 : 0;
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const long after = status_field("VmRSS");

  std::printf(
      "%-28s %d of %d served at once, %d refused (target: all served); soft limit %llu before start, "
      "%llu after; %.1f s to open and answer\n",
      "concurrent connections", served, CONNECTIONS, refused, static_cast<unsigned long long>(SOFT_LIMIT_AT_START),
      static_cast<unsigned long long>(raised), seconds);
  std::printf(
      "%-28s %.1f KiB per idle relayed connection with %d open (target <= 64 KiB); %ld threads in the process\n",
      "resident memory", static_cast<double>(after - before) / (CONNECTIONS - 1), CONNECTIONS, status_field("Threads"));
  for (auto& client : clients) client->close();
  first->close();
  hub.stop();
  hub.wait_until_idle(std::chrono::seconds(30));
  return served == CONNECTIONS ? 0 : 1;
}

}  // namespace
}  // namespace tovix

int main() {
  try {
    return tovix::run();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "bench_relay_load failed: %s\n", error.what());
    return 1;
  }
}
