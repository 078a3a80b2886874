// A chosen PID counts only while the process holding it is the one that was chosen, and chosen
// processes that end are forgotten.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/process/proc_watch.h"
#include "tests/engine/process/process_queries_fake.h"

namespace tovix {
namespace {

using testing::connection;
using testing::FakeProcessQueries;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

class ProcWatchIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queries->add_process(10, "chrome.exe");
    queries->add_process(30, "other.exe");
    watch.build_filter_expression({"chrome"});
  }
  // The chosen process 10 ends and an unrelated program is given its PID.
  void reuse_pid_10_for(const std::string& name) {
    queries->remove_process(10);
    queries->add_process(10, name);
  }

  std::shared_ptr<FakeProcessQueries> queries = std::make_shared<FakeProcessQueries>();
  ProcWatch watch{queries};
};

TEST_F(ProcWatchIdentityTest, AReusedPidIsNotDivertedOnceItsChosenProcessHasEnded) {
  reuse_pid_10_for("other.exe");
  EXPECT_FALSE(watch.is_packet_allowed(10, 0, true)) << "a new connection checks who holds the PID";
  EXPECT_THAT(watch.target_pids(), IsEmpty());
  EXPECT_FALSE(watch.is_packet_allowed(10)) << "and the PID stays out";

  // The same through the port map.
  queries->add_process(11, "chrome.exe");
  EXPECT_TRUE(watch.is_packet_allowed(11));
  queries->remove_process(11);
  queries->add_process(11, "updater.exe");
  queries->set_connections({connection(4000, 11, "SYN_SENT")});
  watch.refresh_now();
  EXPECT_FALSE(watch.is_packet_allowed(0, 4000, true));
  EXPECT_EQ(watch.judge_udp_packet(11, 0, true), UdpOwnerVerdict::not_chosen);
}

TEST_F(ProcWatchIdentityTest, AChosenProgramStartedAgainUnderTheSamePidStaysChosen) {
  reuse_pid_10_for("chrome.exe");
  EXPECT_TRUE(watch.is_packet_allowed(10, 0, true));
  EXPECT_THAT(watch.target_pids(), UnorderedElementsAre(10));
  EXPECT_EQ(watch.prune_ended_processes(), 0u) << "its new start time was taken";
}

TEST_F(ProcWatchIdentityTest, PacketsOfKnownConnectionsAreNotCheckedEachTime) {
  const auto calls = queries->start_time_calls();
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(watch.is_packet_allowed(10));
  EXPECT_EQ(queries->start_time_calls(), calls);
}

TEST_F(ProcWatchIdentityTest, EndedProcessesArePrunedAndTheFilterStaysOn) {
  // Many short-lived chosen programs join one after another, as a browser's helpers do.
  for (std::uint32_t pid = 100; pid < 300; ++pid) {
    queries->add_process(pid, "chrome.exe");
    ASSERT_TRUE(watch.is_packet_allowed(pid));
    queries->remove_process(pid);
  }
  EXPECT_EQ(watch.target_pids().size(), 201u);
  EXPECT_EQ(watch.prune_ended_processes(), 200u);
  EXPECT_THAT(watch.target_pids(), UnorderedElementsAre(10));

  queries->remove_process(10);
  EXPECT_EQ(watch.prune_ended_processes(), 1u);
  EXPECT_THAT(watch.target_pids(), IsEmpty());
  EXPECT_FALSE(watch.is_packet_allowed(30)) << "no chosen process left is not global mode";
  EXPECT_FALSE(watch.is_packet_allowed(0, 5000, true));
  queries->add_process(40, "chrome.exe");
  EXPECT_TRUE(watch.is_packet_allowed(40)) << "a chosen program started later still joins";
}

TEST_F(ProcWatchIdentityTest, AProcessWhoseStartTimeIsNotToldIsKept) {
  queries->add_process(50, "chrome.exe");
  queries->hide_start_time(50);
  ASSERT_TRUE(watch.is_packet_allowed(50));
  EXPECT_EQ(watch.prune_ended_processes(), 0u);
  EXPECT_TRUE(watch.is_packet_allowed(50, 0, true));
}

TEST_F(ProcWatchIdentityTest, TheMonitorPrunesByItself) {
  watch.start_tcp_port_monitor();
  queries->remove_process(10);
  const auto deadline = std::chrono::steady_clock::now() + TARGET_PRUNE_INTERVAL * 10;
  while (!watch.target_pids().empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling the observable state
  }
  watch.stop_tcp_port_monitor();
  EXPECT_THAT(watch.target_pids(), IsEmpty());
}

}  // namespace
}  // namespace tovix
