// The port-map monitor thread and the packet path running against it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/logging.h"
#include "engine/process/proc_watch.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/log_capture.h"

namespace tovix {
namespace {

using namespace std::chrono_literals;
using testing::connection;
using testing::FakeProcessQueries;
using testing::LogCapture;

constexpr auto kPatience = 30s;  // generous: CI is a loaded 2-core machine

class ProcWatchMonitorTest : public ::testing::Test {
 protected:
  std::shared_ptr<FakeProcessQueries> queries = std::make_shared<FakeProcessQueries>();
  LogCapture log{LOGGER_ENGINE};
};

TEST_F(ProcWatchMonitorTest, StartFillsTheMapAndKeepsRefreshingOnOneThread) {
  ProcWatch watch(queries);
  queries->set_connections({connection(8000, 1)});
  watch.start_tcp_port_monitor();
  EXPECT_TRUE(watch.is_port_monitor_running());
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{8000, 1}})) << "filled when start returns";
  EXPECT_TRUE(log.contains(spdlog::level::info, "TCP 端口监控已启动"));

  watch.start_tcp_port_monitor();  // already running: nothing happens
  const auto entries = log.entries();
  EXPECT_EQ(std::count_if(entries.begin(), entries.end(), [](const auto& e) { return e.text == "TCP 端口监控已启动"; }),
            1);

  queries->set_connections({connection(8001, 2)});
  const auto seen = queries->tcp_calls();
  ASSERT_TRUE(queries->wait_for_tcp_calls(seen + 3, kPatience));
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{8001, 2}}));
  auto threads = queries->tcp_calling_threads();
  threads.erase(std::this_thread::get_id());
  EXPECT_EQ(threads.size(), 1u) << "one monitor thread";

  watch.stop_tcp_port_monitor();
  EXPECT_FALSE(watch.is_port_monitor_running());
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{8001, 2}})) << "the map outlives the monitor";
  watch.stop_tcp_port_monitor();
}

TEST_F(ProcWatchMonitorTest, StopWithoutStartAndRestartAfterStop) {
  ProcWatch watch(queries);
  watch.stop_tcp_port_monitor();
  EXPECT_FALSE(watch.is_port_monitor_running());

  watch.start_tcp_port_monitor();
  watch.stop_tcp_port_monitor();
  queries->set_connections({connection(8100, 3)});
  watch.start_tcp_port_monitor();
  EXPECT_TRUE(watch.is_port_monitor_running());
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{8100, 3}}));
}

TEST_F(ProcWatchMonitorTest, FailingRefreshesNeverEndTheMonitor) {
  ProcWatch watch(queries);
  queries->set_connections({connection(8200, 4)});
  watch.start_tcp_port_monitor();
  queries->fail_connections("gone");
  ASSERT_TRUE(queries->wait_for_tcp_calls(queries->tcp_calls() + 3, kPatience));
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{8200, 4}}));
  queries->set_connections({connection(8201, 5)});
  ASSERT_TRUE(queries->wait_for_tcp_calls(queries->tcp_calls() + 2, kPatience));
  EXPECT_EQ(watch.tcp_port_map(), (ProcWatch::PortMap{{8201, 5}}));
}

TEST_F(ProcWatchMonitorTest, StopGivesUpWaitingForAStuckRefreshAndTheRunEndsLater) {
  auto watch = std::make_unique<ProcWatch>(queries);
  watch->start_tcp_port_monitor();
  queries->close_gate();
  ASSERT_TRUE(queries->wait_until_held(kPatience));

  const auto before = std::chrono::steady_clock::now();
  watch->stop_tcp_port_monitor();  // the monitor is stuck inside the connection query
  EXPECT_GE(std::chrono::steady_clock::now() - before, PORT_MONITOR_JOIN_TIMEOUT - 100ms);
  EXPECT_FALSE(watch->is_port_monitor_running());

  // A restart while the old run is still stuck gets a thread of its own...
  std::thread restart([&] { watch->start_tcp_port_monitor(); });
  queries->open_gate();
  restart.join();
  EXPECT_TRUE(watch->is_port_monitor_running());
  watch->stop_tcp_port_monitor();
  // ...and destroying the tracker waits for every run it started.
  watch.reset();
  const auto calls = queries->tcp_calls();
  queries->set_connections({});
  EXPECT_EQ(queries->tcp_calls(), calls);
}

// The packet thread reads and extends the target set while the monitor swaps the port map and
// a control thread reads the state; ThreadSanitizer checks that nothing races.
TEST_F(ProcWatchMonitorTest, PacketPathRunsAgainstTheMonitorWithoutRaces) {
  ProcWatch watch(queries);
  queries->add_process(10, "chrome.exe");
  for (std::uint32_t pid = 100; pid < 140; ++pid) queries->add_process(pid, pid % 2 ? "chrome.exe" : "other.exe");
  std::vector<TcpConnection> connections;
  for (std::uint16_t port = 9000; port < 9040; ++port) connections.push_back(connection(port, 100 + (port - 9000)));
  queries->set_connections(connections);
  watch.build_filter_expression({"chrome"});
  watch.start_tcp_port_monitor();

  std::atomic<bool> done{false};
  std::thread control([&] {
    while (!done) {
      (void)watch.target_pids();
      (void)watch.tcp_port_map();
      (void)watch.pid_lookup_details();
    }
  });
  std::size_t allowed = 0;
  for (int round = 0; round < 50; ++round) {
    for (std::uint16_t port = 9000; port < 9040; ++port) allowed += watch.is_packet_allowed(0, port) ? 1 : 0;
    for (std::uint32_t pid = 100; pid < 140; ++pid) allowed += watch.is_packet_allowed(pid) ? 1 : 0;
  }
  done = true;
  control.join();
  watch.stop_tcp_port_monitor();
  EXPECT_EQ(allowed, 50u * 40u);
  EXPECT_EQ(watch.target_pids().size(), 21u);
}

}  // namespace
}  // namespace tovix
