// Cost of ProcWatch's per-packet decision on its common paths, and of one port-map refresh on
// this machine, against the budgets they must meet: a map look-up under a lock per packet, and
// the 50 ms refresh period.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "engine/process/proc_watch.h"

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

  // One refresh against this machine's real connection table.
  std::size_t processes = 0;
  tovix::platform_process_queries()->for_each_process(tovix::ProcessDetail::name_only,
                                                      [&](const tovix::ProcessEntry&) { ++processes; });
  ProcWatch real;
  std::size_t ports = real._do_refresh();
  const auto start = Clock::now();
  for (int i = 0; i < kRefreshes; ++i) ports = real._do_refresh();
  const double refresh_ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kRefreshes;
  std::printf("_do_refresh  %.3f ms with %zu processes, %zu mapped ports  ratio to the 50 ms period %.3f\n",
              refresh_ms, processes, ports, refresh_ms / 50.0);
  return 0;
}
