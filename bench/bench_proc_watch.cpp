// Cost of ProcWatch's per-packet decision on its common paths, and of one port-map refresh on
// this machine, against the budgets they must meet: a map look-up under a lock per packet, and
// the 50 ms refresh period. Then the port monitor's share of one core with 200 processes
// holding 1,000 sockets, reading the connection table from sock_diag against /proc/net/tcp,
// quiet and while connections are opened all the time, and what finding a new connection's
// owner costs among them. Where it can, it runs in a network namespace of its own, so that
// other programs' connections do not blur the figures.
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/socket.h"
#include "engine/process/proc_watch.h"
#include "engine/process/process_queries_linux.h"
#include "tests/support/netns_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;
using tovix::ProcWatch;

constexpr int kCalls = 2'000'000;
constexpr int kRefreshes = 20;
constexpr std::uint32_t kTargetPid = 4242;
constexpr std::uint32_t kOtherPid = 777;
constexpr std::uint16_t kTargetPort = 50000;

// Fixed answers, so that the per-packet figures measure the tracker, not the system.
class StaticQueries final : public tovix::ProcessQueries {
 public:
  void for_each_process(tovix::ProcessDetail, const std::function<void(const tovix::ProcessEntry&)>& visit) override {
    visit({kTargetPid, "app.exe", {}});
    visit({kOtherPid, "other.exe", {}});
  }
  std::optional<std::string> image_name(std::uint32_t pid) override {
    return pid == kTargetPid ? "app.exe" : pid == kOtherPid ? "other.exe" : std::optional<std::string>{};
  }
  std::vector<tovix::TcpConnection> tcp_connections() override {
    std::vector<tovix::TcpConnection> connections;
    for (std::uint16_t port = 40000; port < 40200; ++port) {
      connections.push_back({tovix::TcpEndpoint{"127.0.0.1", port}, "ESTABLISHED", 1000u + port % 50});
    }
    connections.push_back({tovix::TcpEndpoint{"127.0.0.1", kTargetPort}, "ESTABLISHED", kTargetPid});
    return connections;
  }
};

constexpr int kHolders = 200;
constexpr int kSocketsPerHolder = 5;
constexpr auto kMonitorWarmUp = std::chrono::seconds(1);
constexpr auto kMonitorWindow = std::chrono::seconds(4);

// 200 sleeping processes, each holding 5 connected loopback sockets (the accepting ends are
// closed, so the held ends sit in CLOSE_WAIT, a state the port map keeps).
class SocketHolders {
 public:
  SocketHolders() {
    auto listener = tovix::Socket::create_tcp();
    listener->bind("127.0.0.1", 0);
    listener->listen(1024);
    const int port = listener->local_address().second;
    int ready[2];
    if (pipe(ready) != 0) throw std::runtime_error("pipe");
    for (int i = 0; i < kHolders; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        std::vector<std::shared_ptr<tovix::Socket>> held;
        for (int s = 0; s < kSocketsPerHolder; ++s)
          held.push_back(tovix::connect_tcp("127.0.0.1", port, std::chrono::seconds(10)));
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
      }
      _children.push_back(pid);
      for (int s = 0; s < kSocketsPerHolder; ++s) {
        tovix::SocketAddress peer;
        listener->accept(peer)->close();
      }
    }
    for (int i = 0; i < kHolders; ++i) {
      char byte;
      (void)!read(ready[0], &byte, 1);
    }
    close(ready[0]);
    close(ready[1]);
  }
  ~SocketHolders() {
    for (pid_t pid : _children) kill(pid, SIGKILL);
    for (pid_t pid : _children) waitpid(pid, nullptr, 0);
  }

 private:
  std::vector<pid_t> _children;
};

double process_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Opens and closes a loopback connection every kChurnPeriod, as a busy machine does; it keeps
// count of its own processor time, which the monitor's share leaves out.
constexpr auto kChurnPeriod = std::chrono::milliseconds(20);
class ConnectionChurn {
 public:
  ConnectionChurn() {
    _listener = tovix::Socket::create_tcp();
    _listener->bind("127.0.0.1", 0);
    _listener->listen(64);
    _thread = std::thread([this] {
      const int port = _listener->local_address().second;
      while (!_stop) {
        {
          auto client = tovix::connect_tcp("127.0.0.1", port, std::chrono::seconds(5));
          tovix::SocketAddress peer;
          _listener->accept(peer)->close();
        }
        std::this_thread::sleep_for(kChurnPeriod);
        _cpu = thread_cpu_seconds();
      }
    });
  }
  ~ConnectionChurn() {
    _stop = true;
    _thread.join();
  }
  double cpu_seconds() const { return _cpu.load(); }

 private:
  std::shared_ptr<tovix::Socket> _listener;
  std::atomic<bool> _stop{false};
  std::atomic<double> _cpu{0};
  std::thread _thread;
};

// The monitor thread's share of one core while the rest of this process sleeps, once its first
// refreshes (which trace every socket to its process) are done.
double monitor_share(tovix::LinuxSocketTable table, bool churn) {
  ProcWatch watch(tovix::make_linux_process_queries(table));
  watch.build_filter_expression({});
  std::unique_ptr<ConnectionChurn> connections;
  if (churn) connections = std::make_unique<ConnectionChurn>();
  watch.start_tcp_port_monitor();
  std::this_thread::sleep_for(kMonitorWarmUp);
  const double churn_before = connections ? connections->cpu_seconds() : 0;
  const double cpu_before = process_cpu_seconds();
  const auto wall_before = Clock::now();
  std::this_thread::sleep_for(kMonitorWindow);
  const double cpu_after = process_cpu_seconds();
  const double churn_after = connections ? connections->cpu_seconds() : 0;
  watch.stop_tcp_port_monitor();
  const double wall = std::chrono::duration<double>(Clock::now() - wall_before).count();
  return (cpu_after - cpu_before - (churn_after - churn_before)) / wall;
}

double refresh_ms(tovix::LinuxSocketTable table, std::size_t& ports) {
  ProcWatch watch(tovix::make_linux_process_queries(table));
  ports = watch._do_refresh();  // the first refresh traces every socket once
  const auto start = Clock::now();
  for (int i = 0; i < kRefreshes; ++i) ports = watch._do_refresh();
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kRefreshes;
}

// The system's queries without the look-up of one socket: a new connection's owner then comes
// from a fresh listing of every connection.
class ListingOnly final : public tovix::ProcessQueries {
 public:
  explicit ListingOnly(std::shared_ptr<tovix::ProcessQueries> inner) : _inner(std::move(inner)) {}
  void for_each_process(tovix::ProcessDetail detail,
                        const std::function<void(const tovix::ProcessEntry&)>& visit) override {
    _inner->for_each_process(detail, visit);
  }
  std::optional<std::string> image_name(std::uint32_t pid) override { return _inner->image_name(pid); }
  std::optional<std::uint64_t> process_start_time(std::uint32_t pid) override {
    return _inner->process_start_time(pid);
  }
  std::vector<tovix::TcpConnection> tcp_connections() override { return _inner->tcp_connections(); }

 private:
  std::shared_ptr<tovix::ProcessQueries> _inner;
};

// A process forked after the holders (so the last one a search of /proc comes to, as a program
// just started is) that opens one connection to `port` whenever asked, and keeps them all.
class Connector {
 public:
  explicit Connector(int port) {
    if (pipe(_ask) != 0 || pipe(_told) != 0) throw std::runtime_error("pipe");
    _pid = fork();
    if (_pid == 0) {
      std::vector<std::shared_ptr<tovix::Socket>> held;
      char byte;
      while (read(_ask[0], &byte, 1) == 1) {
        held.push_back(tovix::connect_tcp("127.0.0.1", port, std::chrono::seconds(10)));
        const auto own = static_cast<std::uint16_t>(held.back()->local_address().second);
        (void)!write(_told[1], &own, sizeof own);
      }
      _exit(0);
    }
  }
  ~Connector() {
    kill(_pid, SIGKILL);
    waitpid(_pid, nullptr, 0);
    for (int fd : {_ask[0], _ask[1], _told[0], _told[1]}) close(fd);
  }
  std::uint16_t connect() {
    std::uint16_t port = 0;
    if (write(_ask[1], "x", 1) != 1 || read(_told[0], &port, sizeof port) != sizeof port)
      throw std::runtime_error("connector");
    return port;
  }

 private:
  int _ask[2]{};
  int _told[2]{};
  pid_t _pid = 0;
};

// Median milliseconds to judge a new connection of the connector, by its own socket and by a
// fresh listing, taking turns.
constexpr int kNewConnections = 40;
std::pair<double, double> new_connection_ms() {
  auto exact_queries = tovix::make_linux_process_queries(tovix::LinuxSocketTable::sock_diag);
  ProcWatch exact(exact_queries);
  ProcWatch listing(
      std::make_shared<ListingOnly>(tovix::make_linux_process_queries(tovix::LinuxSocketTable::sock_diag)));
  for (ProcWatch* watch : {&exact, &listing}) {
    watch->build_filter_expression({});
    watch->refresh_now();  // the monitor has traced the sockets that were there before
  }
  auto listener = tovix::Socket::create_tcp();
  listener->bind("127.0.0.1", 0);
  listener->listen(kNewConnections);
  const auto server_port = static_cast<std::uint16_t>(listener->local_address().second);
  Connector connector(server_port);
  std::vector<double> exact_ms, listing_ms;
  std::vector<std::shared_ptr<tovix::Socket>> accepted;
  constexpr std::uint32_t loopback = 0x7F000001;
  for (int i = 0; i < kNewConnections; ++i) {
    const std::uint16_t port = connector.connect();
    tovix::SocketAddress peer;
    accepted.push_back(listener->accept(peer));
    ProcWatch& watch = i % 2 == 0 ? exact : listing;
    const auto start = Clock::now();
    const auto judged = watch.judge_new_connection(0, loopback, port, loopback, server_port);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (judged.owner == 0) throw std::runtime_error("a new connection without its owner");
    (i % 2 == 0 ? exact_ms : listing_ms).push_back(ms);
  }
  const auto median = [](std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  return {median(exact_ms), median(listing_ms)};
}

template <typename Call>
double ns_per_call(Call&& call) {
  volatile std::size_t sink = 0;
  const auto start = Clock::now();
  for (int i = 0; i < kCalls; ++i) sink = sink + (call() ? 1 : 0);
  return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / kCalls;
}

}  // namespace

int main() {
  // Baseline: one map look-up under an uncontended lock.
  std::unordered_map<std::uint16_t, std::uint32_t> map;
  for (std::uint16_t port = 40000; port < 40201; ++port) map.emplace(port, port);
  std::mutex lock;
  const double baseline = ns_per_call([&] {
    std::lock_guard guard(lock);
    return map.find(40100) != map.end();
  });

  auto queries = std::make_shared<StaticQueries>();
  ProcWatch global(queries);
  global.build_filter_expression({});
  ProcWatch chosen(queries);
  chosen.build_filter_expression({"app"});
  chosen.refresh_now();
  (void)chosen.is_packet_allowed(kOtherPid);  // remembered as not chosen

  const double empty_set = ns_per_call([&] { return global.is_packet_allowed(0, kTargetPort); });
  const double pid_in_set = ns_per_call([&] { return chosen.is_packet_allowed(kTargetPid, kTargetPort); });
  const double port_in_map = ns_per_call([&] { return chosen.is_packet_allowed(0, kTargetPort); });
  const double other_pid = ns_per_call([&] { return chosen.is_packet_allowed(kOtherPid); });

  std::printf("baseline  map look-up under a lock       %7.1f ns\n", baseline);
  std::printf("is_packet_allowed  empty target set      %7.1f ns  ratio %.2f\n", empty_set, empty_set / baseline);
  std::printf("is_packet_allowed  PID in the set        %7.1f ns  ratio %.2f\n", pid_in_set, pid_in_set / baseline);
  std::printf("is_packet_allowed  port in the map       %7.1f ns  ratio %.2f\n", port_in_map, port_in_map / baseline);
  std::printf("is_packet_allowed  other process (seen)  %7.1f ns  ratio %.2f\n", other_pid, other_pid / baseline);

  // Refreshes and the monitor against a real connection table, with the holders.
  std::unique_ptr<tovix::testing::NetnsPair> own_namespace;
  std::unique_ptr<tovix::testing::NetnsScope> inside;
  if (tovix::testing::NetnsPair::unavailable_reason().empty()) {
    own_namespace = std::make_unique<tovix::testing::NetnsPair>();
    inside = std::make_unique<tovix::testing::NetnsScope>(own_namespace->client());
  }
  std::printf("connection table of %s\n", inside ? "a network namespace of its own" : "this machine (shared)");
  SocketHolders holders;
  std::size_t processes = 0;
  tovix::platform_process_queries()->for_each_process(tovix::ProcessDetail::name_only,
                                                      [&](const tovix::ProcessEntry&) { ++processes; });
  using tovix::LinuxSocketTable;
  std::size_t text_ports = 0, diag_ports = 0;
  const double text_ms = refresh_ms(LinuxSocketTable::proc_net_tcp, text_ports);
  const double diag_ms = refresh_ms(LinuxSocketTable::sock_diag, diag_ports);
  std::printf(
      "_do_refresh  /proc/net/tcp %.3f ms, sock_diag %.3f ms (%zu processes, %zu / %zu mapped ports)  "
      "ratio %.2f\n",
      text_ms, diag_ms, processes, text_ports, diag_ports, diag_ms / text_ms);
  const auto [exact_ms, listing_ms] = new_connection_ms();
  std::printf("a new connection's owner  by its own socket %.3f ms, by a fresh listing %.3f ms (median)  ratio %.2f\n",
              exact_ms, listing_ms, exact_ms / listing_ms);
  for (const bool churn : {false, true}) {
    const double text_share = monitor_share(LinuxSocketTable::proc_net_tcp, churn);
    const double diag_share = monitor_share(LinuxSocketTable::sock_diag, churn);
    std::printf(
        "port monitor share of one core, %-26s /proc/net/tcp %5.2f %%, sock_diag %5.2f %%  (target <= 1 %%)  "
        "ratio %.2f\n",
        churn ? "a new connection per 20 ms:" : "quiet:", 100 * text_share, 100 * diag_share, diag_share / text_share);
  }
  return 0;
}
