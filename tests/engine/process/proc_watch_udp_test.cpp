// Whose a UDP datagram is, from the scripted UDP socket table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/logging.h"
#include "engine/process/proc_watch.h"
#include "tests/engine/process/process_queries_fake.h"
#include "tests/support/log_capture.h"

namespace tovix {
namespace {

using testing::FakeProcessQueries;
using testing::LogCapture;
using testing::udp_socket;
using Verdict = UdpOwnerVerdict;

class ProcWatchUdpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    queries->add_process(10, "chrome.exe");
    queries->add_process(30, "other.exe");
    watch.build_filter_expression({"chrome"});
  }
  std::shared_ptr<FakeProcessQueries> queries = std::make_shared<FakeProcessQueries>();
  ProcWatch watch{queries};
};

TEST(ProcWatchUdpGlobalTest, GlobalModeJudgesEveryDatagramChosenWithoutAListing) {
  auto queries = std::make_shared<FakeProcessQueries>();
  ProcWatch watch{queries};
  watch.build_filter_expression({});
  EXPECT_EQ(watch.judge_udp_packet(0, 5353, true), Verdict::chosen);
  EXPECT_EQ(queries->udp_calls(), 0u);
}

TEST_F(ProcWatchUdpTest, VerdictsFromThePidThePortAndAFreshListing) {
  struct Case {
    const char* what;
    std::vector<UdpSocketEntry> sockets;
    std::size_t listed_late;  // listings that miss the sockets
    std::uint32_t packet_pid;
    bool first;
    Verdict expected;
  };
  const Case cases[] = {
      {"the packet's own PID", {}, 0, 10, false, Verdict::chosen},
      {"another program's PID", {}, 0, 30, true, Verdict::not_chosen},
      {"a chosen program's port", {udp_socket(4000, 10)}, 0, 0, true, Verdict::chosen},
      {"another program's port", {udp_socket(4000, 30)}, 0, 0, true, Verdict::not_chosen},
      {"a port shared with a chosen program",
       {udp_socket(4000, 30), udp_socket(4000, 10, "127.0.0.1")},
       0,
       0,
       true,
       Verdict::chosen},
      {"a socket listed a moment late", {udp_socket(4000, 10)}, UDP_LOOKUP_ATTEMPTS - 1, 0, true, Verdict::chosen},
      {"a socket no listing shows", {udp_socket(4000, 10)}, UDP_LOOKUP_ATTEMPTS, 0, true, Verdict::unknown},
      {"a socket held by nobody visible", {udp_socket(4000, 0)}, 0, 0, true, Verdict::unknown},
      {"a later datagram of an unmapped port", {udp_socket(4000, 10)}, 0, 0, false, Verdict::unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProcWatch fresh{queries};
    fresh.build_filter_expression({"chrome"});
    queries->set_udp_sockets(c.sockets);
    queries->list_udp_late(c.listed_late);
    EXPECT_EQ(fresh.judge_udp_packet(c.packet_pid, 4000, c.first), c.expected);
  }
}

TEST_F(ProcWatchUdpTest, ANewFlowOnAPortLastSeenWithAnotherProgramLooksAgain) {
  queries->set_udp_sockets({udp_socket(4100, 30)});
  ASSERT_GT(watch.refresh_udp_now(), 0u);
  const auto calls = queries->udp_calls();
  EXPECT_EQ(watch.judge_udp_packet(0, 4100), Verdict::not_chosen) << "later datagrams go by the map";
  EXPECT_EQ(queries->udp_calls(), calls);

  // The other program's socket closed and the chosen program bound the same port.
  queries->set_udp_sockets({udp_socket(4100, 10)});
  EXPECT_EQ(watch.judge_udp_packet(0, 4100, true), Verdict::chosen);
  EXPECT_EQ(watch.get_pid_by_udp_port(4100), 10u);
  EXPECT_EQ(watch.judge_udp_packet(0, 4100), Verdict::chosen);
}

TEST_F(ProcWatchUdpTest, MapKeepsEachOwnerOfAPortOnceAndAFailedListingKeepsTheOldMap) {
  LogCapture log{LOGGER_ENGINE};
  queries->set_udp_sockets(
      {udp_socket(53, 30), udp_socket(53, 30, "::"), udp_socket(53, 10, "127.0.0.1"), udp_socket(54, 0)});
  EXPECT_EQ(watch.refresh_udp_now(), 1u);
  EXPECT_EQ(watch.udp_port_map(), (ProcWatch::UdpPortMap{{53, {30, 10}}}));
  EXPECT_EQ(watch.get_pid_by_udp_port(53), 30u);

  queries->fail_connections("table unavailable");
  EXPECT_EQ(watch.refresh_udp_now(), 0u);
  EXPECT_EQ(watch.udp_port_map(), (ProcWatch::UdpPortMap{{53, {30, 10}}}));
  EXPECT_TRUE(log.contains(spdlog::level::debug, "刷新 UDP 端口映射异常: table unavailable"));
}

}  // namespace
}  // namespace tovix
